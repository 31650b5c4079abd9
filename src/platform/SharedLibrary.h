// Libraries loaded when first needed instead of at program start.
#pragma once

#include <type_traits>

namespace platform {

// Loads the library soname and keeps it loaded for good, so that nothing it
// gave out can outlive it. Null when it cannot be loaded; the reason is logged
// after unavailable, which says what the program goes without ("No sound").
void* OpenSharedLibrary(const char* soname, const char* unavailable);

// The address of the symbol name in library; null when it lacks one or there
// is no library.
void* FindSharedSymbol(void* library, const char* name);

// Sets function to library's function name; false, function null, without it.
template <typename Function>
bool ResolveFunction(void* library, const char* name, Function*& function) {
    static_assert(std::is_function_v<Function>);
    function = reinterpret_cast<Function*>(FindSharedSymbol(library, name));
    return function != nullptr;
}

// Logs that soname lacks one of the functions asked of it.
void ReportMissingFunction(const char* soname, const char* unavailable);

// A table of a library's functions, loaded once by its caller and never freed:
// the library opened, then resolve(library, table) fills every entry and says
// whether all were found. Null, the reason logged, without the library or any
// of them.
template <typename Table, typename Resolve>
const Table* LoadFunctions(const char* soname, const char* unavailable, Resolve resolve) {
    void* library = OpenSharedLibrary(soname, unavailable);
    if (!library)
        return nullptr;
    auto* table = new Table;
    if (!resolve(library, *table)) {
        ReportMissingFunction(soname, unavailable);
        delete table;
        return nullptr;
    }
    return table;
}

} // namespace platform
