// The on-demand loader of the visual-styles library: the module handle and the 46 entry points.
#include "settings/UxThemeRT.h"

#include "platform/Platform.h"

#include <QFileInfo>

#include <array>
#include <cstring>
#include <dlfcn.h>

namespace UxThemeRT {

void* ThemeLibrary = nullptr;

uxtheme::OpenThemeDataFn* OpenThemeData = nullptr;
uxtheme::CloseThemeDataFn* CloseThemeData = nullptr;
uxtheme::DrawThemeBackgroundFn* DrawThemeBackground = nullptr;
uxtheme::DrawThemeTextFn* DrawThemeText = nullptr;
uxtheme::GetThemeBackgroundContentRectFn* GetThemeBackgroundContentRect = nullptr;
ThemeProc GetThemeBackgroundExtent = nullptr;
ThemeProc GetThemePartSize = nullptr;
uxtheme::GetThemeTextExtentFn* GetThemeTextExtent = nullptr;
ThemeProc GetThemeTextMetrics = nullptr;
ThemeProc GetThemeBackgroundRegion = nullptr;
ThemeProc HitTestThemeBackground = nullptr;
ThemeProc DrawThemeEdge = nullptr;
ThemeProc DrawThemeIcon = nullptr;
uxtheme::IsThemePartDefinedFn* IsThemePartDefined = nullptr;
ThemeProc IsThemeBackgroundPartiallyTransparent = nullptr;
ThemeProc GetThemeColor = nullptr;
ThemeProc GetThemeMetric = nullptr;
ThemeProc GetThemeString = nullptr;
ThemeProc GetThemeInt = nullptr;
ThemeProc GetThemeEnumValue = nullptr;
ThemeProc GetThemePosition = nullptr;
ThemeProc GetThemeFont = nullptr;
ThemeProc GetThemeRect = nullptr;
ThemeProc GetThemeMargins = nullptr;
ThemeProc GetThemeIntList = nullptr;
ThemeProc GetThemePropertyOrigin = nullptr;
ThemeProc SetWindowTheme = nullptr;
ThemeProc GetThemeFilename = nullptr;
ThemeProc GetThemeSysColor = nullptr;
ThemeProc GetThemeSysColorBrush = nullptr;
ThemeProc GetThemeSysBool = nullptr;
ThemeProc GetThemeSysSize = nullptr;
ThemeProc GetThemeSysFont = nullptr;
ThemeProc GetThemeSysString = nullptr;
ThemeProc GetThemeSysInt = nullptr;
uxtheme::IsThemeActiveFn* IsThemeActive = nullptr;
uxtheme::IsAppThemedFn* IsAppThemed = nullptr;
uxtheme::GetWindowThemeFn* GetWindowTheme = nullptr;
ThemeProc EnableThemeDialogTexture = nullptr;
ThemeProc IsThemeDialogTextureEnabled = nullptr;
uxtheme::GetThemeAppPropertiesFn* GetThemeAppProperties = nullptr;
uxtheme::SetThemeAppPropertiesFn* SetThemeAppProperties = nullptr;
uxtheme::GetCurrentThemeNameFn* GetCurrentThemeName = nullptr;
ThemeProc GetThemeDocumentationProperty = nullptr;
uxtheme::DrawThemeParentBackgroundFn* DrawThemeParentBackground = nullptr;
uxtheme::EnableThemingFn* EnableTheming = nullptr;

namespace {

unsigned generation = 0;

template <typename Pointer> ThemeEntry Entry(const char* name, Pointer& slot) {
    static_assert(sizeof(Pointer) == sizeof(void*));
    return ThemeEntry{name, &slot};
}

#define THEME_ENTRY(name) Entry(#name, name)

const std::array<ThemeEntry, 46> entries = {
    THEME_ENTRY(OpenThemeData),
    THEME_ENTRY(CloseThemeData),
    THEME_ENTRY(DrawThemeBackground),
    THEME_ENTRY(DrawThemeText),
    THEME_ENTRY(GetThemeBackgroundContentRect),
    THEME_ENTRY(GetThemeBackgroundExtent),
    THEME_ENTRY(GetThemePartSize),
    THEME_ENTRY(GetThemeTextExtent),
    THEME_ENTRY(GetThemeTextMetrics),
    THEME_ENTRY(GetThemeBackgroundRegion),
    THEME_ENTRY(HitTestThemeBackground),
    THEME_ENTRY(DrawThemeEdge),
    THEME_ENTRY(DrawThemeIcon),
    THEME_ENTRY(IsThemePartDefined),
    THEME_ENTRY(IsThemeBackgroundPartiallyTransparent),
    THEME_ENTRY(GetThemeColor),
    THEME_ENTRY(GetThemeMetric),
    THEME_ENTRY(GetThemeString),
    THEME_ENTRY(GetThemeInt),
    THEME_ENTRY(GetThemeEnumValue),
    THEME_ENTRY(GetThemePosition),
    THEME_ENTRY(GetThemeFont),
    THEME_ENTRY(GetThemeRect),
    THEME_ENTRY(GetThemeMargins),
    THEME_ENTRY(GetThemeIntList),
    THEME_ENTRY(GetThemePropertyOrigin),
    THEME_ENTRY(SetWindowTheme),
    THEME_ENTRY(GetThemeFilename),
    THEME_ENTRY(GetThemeSysColor),
    THEME_ENTRY(GetThemeSysColorBrush),
    THEME_ENTRY(GetThemeSysBool),
    THEME_ENTRY(GetThemeSysSize),
    THEME_ENTRY(GetThemeSysFont),
    THEME_ENTRY(GetThemeSysString),
    THEME_ENTRY(GetThemeSysInt),
    THEME_ENTRY(IsThemeActive),
    THEME_ENTRY(IsAppThemed),
    THEME_ENTRY(GetWindowTheme),
    THEME_ENTRY(EnableThemeDialogTexture),
    THEME_ENTRY(IsThemeDialogTextureEnabled),
    THEME_ENTRY(GetThemeAppProperties),
    THEME_ENTRY(SetThemeAppProperties),
    THEME_ENTRY(GetCurrentThemeName),
    THEME_ENTRY(GetThemeDocumentationProperty),
    THEME_ENTRY(DrawThemeParentBackground),
    THEME_ENTRY(EnableTheming),
};

#undef THEME_ENTRY

// The pointers have different function types: they are written as raw bytes.
void SetEntry(const ThemeEntry& entry, void* address) {
    std::memcpy(entry.Slot, &address, sizeof address);
}

void ClearEntries() {
    for (const ThemeEntry& entry : entries)
        SetEntry(entry, nullptr);
}

void ResolveEntries() {
    for (const ThemeEntry& entry : entries)
        SetEntry(entry, dlsym(ThemeLibrary, entry.Name));
}

void* Open(const QString& path) {
    return dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
}

} // namespace

std::span<const ThemeEntry> ThemeEntries() {
    return entries;
}

void* EntryValue(const ThemeEntry& entry) {
    void* address = nullptr;
    std::memcpy(&address, entry.Slot, sizeof address);
    return address;
}

void LoadThemeLibrary() {
    FreeThemeLibrary();
    const QString name = QString::fromLatin1(ThemeLibraryName);
    const QString besideExecutable = QFileInfo(platform::ExecutablePath()).path() + '/' + name;
    ThemeLibrary = Open(besideExecutable);
    if (!ThemeLibrary)
        ThemeLibrary = Open(name);
    ++generation;
    if (ThemeLibrary)
        ResolveEntries();
}

void LoadThemeLibrary(const QString& path) {
    FreeThemeLibrary();
    ThemeLibrary = path.isEmpty() ? nullptr : Open(path);
    ++generation;
    if (ThemeLibrary)
        ResolveEntries();
}

void FreeThemeLibrary() {
    ClearEntries();
    if (ThemeLibrary) {
        dlclose(ThemeLibrary);
        ThemeLibrary = nullptr;
    }
}

bool ThemeLibraryLoaded() {
    return ThemeLibrary != nullptr;
}

unsigned ThemeLibraryGeneration() {
    return generation;
}

} // namespace UxThemeRT
