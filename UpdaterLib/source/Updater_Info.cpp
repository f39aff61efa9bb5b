// What the store knows of devices: recording what discovery found (-D) and what a verified
// device runs (-V), and gathering a device's stored settings, builds and history (-I).
#include <algorithm>
#include <stdexcept>

#include "BirdFile.h"
#include "DeviceHistory.h"
#include "DeviceRecord.h"
#include "Log.h"
#include "Updater.h"
#include "UpdaterStore.h"

bool Updater::Record_Devices(const std::vector<DeviceInfo>& devices)
{
    bool recorded = true;
    const std::string seen = KeyValueStore::TimeStamp();
    for (const DeviceInfo& device : devices) {
        if (device.spec.serial_number == 0)
            continue;
        try {
            UpdaterStore store(updater_directory.c_str());
            UpdaterStoreItem item = store.AddDevice(device.spec.serial_number);
            for (const auto& value : DeviceRecordValues(device, seen))
                item.Settings().Add(value.first.c_str(), value.second);
            if (!item.Settings().Save())
                throw std::runtime_error(item.Settings().LastError());
        } catch (const std::runtime_error& e) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not record device %08X in the store: %s",
                            device.spec.serial_number, e.what());
            recorded = false;
        }
    }
    return recorded;
}

bool Updater::record_running(unsigned int serial_number, const DeviceInfo& running)
{
    try {
        UpdaterStore store(updater_directory.c_str());
        UpdaterStoreItem item = store.AddDevice(serial_number);
        for (const auto& value : RunningRecordValues(running, KeyValueStore::TimeStamp()))
            item.Settings().Add(value.first.c_str(), value.second);
        if (!item.Settings().Save())
            throw std::runtime_error(item.Settings().LastError());
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not record what device %08X runs in the store: %s",
                        serial_number, e.what());
        return false;
    }
    return true;
}

bool Updater::Get_Stored_Device(unsigned int serial_number, StoredDevice& stored)
{
    stored = StoredDevice();
    stored.serial_number = serial_number;
    UpdaterStoreItem item;
    std::vector<UpdaterStoreItem> files;
    try {
        UpdaterStore store(updater_directory.c_str());
        if (!store.FindDevice(serial_number, &item))
            return false;
        store.FindLocalBuilds(serial_number, files);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "Reading the store for %08X: %s\n", serial_number, e.what());
        return false;
    }
    stored.settings = item.Settings().Entries();
    for (const UpdaterStoreItem& file : files) {
        const unsigned int build = StoredBuildNumber(file.Name());
        if (build == 0 || file.Kind() != STORE_ITEM_FILE)
            continue;
        StoredBuild entry;
        entry.build = build;
        entry.file = file.Name();
        try {
            entry.version = item.ReadBirdFile(file.Name().c_str()).GetVersion();
        } catch (const std::runtime_error& e) {
            Log::log(DEBUG_Updater, "Stored build %s: %s\n", file.Name().c_str(), e.what());
        }
        stored.builds.push_back(entry);
    }
    std::sort(stored.builds.begin(), stored.builds.end(),
              [](const StoredBuild& a, const StoredBuild& b) { return a.build > b.build; });
    stored.history = DeviceHistory::Read(item.FullPath());
    return !stored.Empty();
}

std::vector<std::string> Updater::Check_Against_Store(const BirdFile& bird, unsigned int serial_number)
{
    std::vector<std::string> problems;
    char text[160];
    if (!bird.HasSerialNumberBlock() && !bird.ValidateSerialNumber(serial_number)) {
        snprintf(text, sizeof(text), "the file is for serial number %08X, not %08X, and carries no serial-number "
                 "patch location", bird.GetSerialNumber(), serial_number);
        problems.push_back(text);
    }
    StoredDevice stored;
    Get_Stored_Device(serial_number, stored);
    const auto model = stored.settings.find(DeviceRecordKey::MODEL);
    if (model == stored.settings.end() || model->second.empty()) {
        snprintf(text, sizeof(text), "the store has no model recorded for device %08X (run -D to record it)",
                 serial_number);
        problems.push_back(text);
    } else if (!bird.ValidateModel(model->second.c_str())) {
        snprintf(text, sizeof(text), "the file is for model [%s], device %08X is recorded as [%s]",
                 bird.GetModel().c_str(), serial_number, model->second.c_str());
        problems.push_back(text);
    }
    return problems;
}
