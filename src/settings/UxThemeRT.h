// Loads the visual-styles library on demand and resolves its entry points by name.
#pragma once

#include "platform/uxtheme/UxTheme.h"

#include <QString>

#include <span>

namespace UxThemeRT {

// The library's file name; it is looked for beside the executable, then by the
// system's library search.
inline constexpr const char* ThemeLibraryName = "libUxTheme.so";

// An entry point this program does not call: resolved and kept, never typed.
using ThemeProc = void (*)();

// The module handle of the loaded library; null when it could not be loaded or
// has been released.
extern void* ThemeLibrary;

// One pointer per entry point, null when the library is absent or lacks the name.
extern uxtheme::OpenThemeDataFn* OpenThemeData;
extern uxtheme::CloseThemeDataFn* CloseThemeData;
extern uxtheme::DrawThemeBackgroundFn* DrawThemeBackground;
extern uxtheme::DrawThemeTextFn* DrawThemeText;
extern uxtheme::GetThemeBackgroundContentRectFn* GetThemeBackgroundContentRect;
extern ThemeProc GetThemeBackgroundExtent;
extern ThemeProc GetThemePartSize;
extern uxtheme::GetThemeTextExtentFn* GetThemeTextExtent;
extern ThemeProc GetThemeTextMetrics;
extern ThemeProc GetThemeBackgroundRegion;
extern ThemeProc HitTestThemeBackground;
extern ThemeProc DrawThemeEdge;
extern ThemeProc DrawThemeIcon;
extern uxtheme::IsThemePartDefinedFn* IsThemePartDefined;
extern ThemeProc IsThemeBackgroundPartiallyTransparent;
extern ThemeProc GetThemeColor;
extern ThemeProc GetThemeMetric;
extern ThemeProc GetThemeString;
extern ThemeProc GetThemeInt;
extern ThemeProc GetThemeEnumValue;
extern ThemeProc GetThemePosition;
extern ThemeProc GetThemeFont;
extern ThemeProc GetThemeRect;
extern ThemeProc GetThemeMargins;
extern ThemeProc GetThemeIntList;
extern ThemeProc GetThemePropertyOrigin;
extern ThemeProc SetWindowTheme;
extern ThemeProc GetThemeFilename;
extern ThemeProc GetThemeSysColor;
extern ThemeProc GetThemeSysColorBrush;
extern ThemeProc GetThemeSysBool;
extern ThemeProc GetThemeSysSize;
extern ThemeProc GetThemeSysFont;
extern ThemeProc GetThemeSysString;
extern ThemeProc GetThemeSysInt;
extern uxtheme::IsThemeActiveFn* IsThemeActive;
extern uxtheme::IsAppThemedFn* IsAppThemed;
extern uxtheme::GetWindowThemeFn* GetWindowTheme;
extern ThemeProc EnableThemeDialogTexture;
extern ThemeProc IsThemeDialogTextureEnabled;
extern uxtheme::GetThemeAppPropertiesFn* GetThemeAppProperties;
extern uxtheme::SetThemeAppPropertiesFn* SetThemeAppProperties;
extern uxtheme::GetCurrentThemeNameFn* GetCurrentThemeName;
extern ThemeProc GetThemeDocumentationProperty;
extern uxtheme::DrawThemeParentBackgroundFn* DrawThemeParentBackground;
extern uxtheme::EnableThemingFn* EnableTheming;

// An entry point's name and the address of the pointer that holds it.
struct ThemeEntry {
    const char* Name;
    void* Slot;
};
// The address an entry's pointer holds (null when unresolved).
void* EntryValue(const ThemeEntry& entry);
// The 46 entry points in the order they are resolved.
std::span<const ThemeEntry> ThemeEntries();

// Loads the library (beside the executable, then by name) and resolves every
// entry point. Runs once at program start, before any window is created.
void LoadThemeLibrary();
// Loads the library from exactly this file, releasing one loaded before; an
// empty path leaves the program without the library.
void LoadThemeLibrary(const QString& path);
// Releases the library and clears every pointer. Runs once at program end.
void FreeThemeLibrary();
bool ThemeLibraryLoaded();
// Counts the loads: a theme handle belongs to the library of the load it came
// from and means nothing once that library has been released.
unsigned ThemeLibraryGeneration();

} // namespace UxThemeRT
