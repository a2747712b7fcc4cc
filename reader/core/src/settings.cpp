#include "reader/settings.h"

#include <utility>

#include "platform/settings.h"

namespace reader {

namespace {

// The values in the order they are written, with where each lives in the record.
constexpr std::pair<const char*, DWORD ReaderSettings::*> kValues[] = {
    {"Model", &ReaderSettings::model}, {"DisplayMode", &ReaderSettings::displayMode},
    {"Video", &ReaderSettings::video}, {"Audio", &ReaderSettings::audio},
    {"Delay", &ReaderSettings::delay}, {"HDD", &ReaderSettings::hdd},
};

} // namespace

ReaderSettings ReaderSettings::Load() {
    ReaderSettings s;
    platform::SettingsStore store(kSettingsKey);
    if (!store.Exists())
        return s;
    for (const auto& [name, field] : kValues)
        if (auto v = store.GetDword(name))
            s.*field = *v;
    return s;
}

bool ReaderSettings::Save() const {
    platform::SettingsStore store(kSettingsKey);
    bool ok = true;
    for (const auto& [name, field] : kValues)
        ok = store.SetDword(name, this->*field) && ok;
    return ok;
}

} // namespace reader
