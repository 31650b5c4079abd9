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
// the library opened, then Table::Resolve fills every entry. Null, the reason
// logged, without the library or any of the functions.
template <typename Table> const Table* LoadFunctions(const char* soname, const char* unavailable) {
    void* library = OpenSharedLibrary(soname, unavailable);
    if (!library)
        return nullptr;
    auto* table = new Table;
    if (!table->Resolve(library)) {
        ReportMissingFunction(soname, unavailable);
        delete table;
        return nullptr;
    }
    return table;
}

} // namespace platform

// Declares struct Table for LoadFunctions: a pointer member per function of
// LIST, an X-macro of the names without their prefix, as LIST(X, prefix) gives
// X(prefix, name) for each; and Resolve, which looks up prefix##name for each.
#define VELTROY_TABLE_POINTER(prefix, name) decltype(&prefix##name) name = nullptr;
#define VELTROY_TABLE_RESOLVE(prefix, name)                                                        \
    complete = ::platform::ResolveFunction(library, #prefix #name, name) && complete;
#define VELTROY_FUNCTION_TABLE(Table, LIST, prefix)                                                \
    struct Table {                                                                                 \
        LIST(VELTROY_TABLE_POINTER, prefix)                                                        \
        bool Resolve(void* library) {                                                              \
            bool complete = true;                                                                  \
            LIST(VELTROY_TABLE_RESOLVE, prefix)                                                    \
            return complete;                                                                       \
        }                                                                                          \
    };
