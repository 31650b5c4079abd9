// Libraries loaded through dlopen when first needed, never closed.
#include "platform/SharedLibrary.h"

#include <QDebug>

#include <dlfcn.h>

namespace platform {

void* OpenSharedLibrary(const char* soname, const char* unavailable) {
    // RTLD_LOCAL: its symbols are reached only through FindSharedSymbol and
    // cannot stand in for another library's.
    void* library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        qDebug("%s: %s", unavailable, ::dlerror());
    return library;
}

void ReportMissingFunction(const char* soname, const char* unavailable) {
    qDebug("%s: %s lacks a function", unavailable, soname);
}

void* FindSharedSymbol(void* library, const char* name) {
    // A null handle would make dlsym search the whole program.
    return library ? ::dlsym(library, name) : nullptr;
}

} // namespace platform
