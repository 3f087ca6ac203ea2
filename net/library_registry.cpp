#include "net/library_registry.h"

#include <QByteArray>

#include <unordered_map>

namespace pelmora {

namespace {

std::string Key(const std::string& name) {
    return QByteArray::fromStdString(name).toUpper().toStdString();
}

std::map<std::string, TExports>& Libraries() {
    static std::map<std::string, TExports> libraries;
    return libraries;
}

std::unordered_map<HMODULE, TExports>& Modules() {
    static std::unordered_map<HMODULE, TExports> modules;
    return modules;
}

HMODULE nextModule = 0x10000;

} // namespace

void RegisterLibrary(const std::string& name, TExports exports) {
    Libraries()[Key(name)] = std::move(exports);
}

void UnregisterLibrary(const std::string& name) {
    Libraries().erase(Key(name));
}

std::optional<TExports> RegisteredLibrary(const std::string& name) {
    const auto it = Libraries().find(Key(name));
    if (it == Libraries().end())
        return std::nullopt;
    return it->second;
}

HMODULE LoadLibrary(const std::string& name) {
    const auto it = Libraries().find(Key(name));
    if (it == Libraries().end())
        return ModuleNotFound;
    HMODULE module = nextModule++;
    while (module < 32 || Modules().count(module) != 0)
        module = nextModule++;
    Modules().emplace(module, it->second);
    return module;
}

TProc GetProcAddress(HMODULE module, uint16_t ordinal) {
    const auto it = Modules().find(module);
    if (it == Modules().end())
        return nullptr;
    const auto entry = it->second.find(ordinal);
    return entry == it->second.end() ? nullptr : entry->second;
}

bool FreeLibrary(HMODULE module) {
    return Modules().erase(module) != 0;
}

int LoadedModuleCount() {
    return static_cast<int>(Modules().size());
}

} // namespace pelmora
