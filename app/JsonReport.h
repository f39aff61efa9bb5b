// What a run reports with --json: the command, whether it succeeded, and one entry per device
// with the fields of the commands that ran on it. Filled whether or not --json was given; only
// written then.
#ifndef UPDATER_JSON_REPORT_H
#define UPDATER_JSON_REPORT_H

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "DeviceInfo.h"
#include "DeviceRecord.h"
#include "Fingerprint.h"
#include "JsonWriter.h"

class JsonReport {
  public:
    // "discover", "builds", "download", "update", "recover", "fingerprint", "info" or "check":
    // the last command that ran names the document.
    void SetCommand(const char* name);
    // Sets a field of the device's entry (made with "ok": true and "error": null when new).
    void Set(uint32_t serial, const std::string& key, const JsonValue& value);
    // Marks the device failed, with the reason (the first reason given is kept).
    void Fail(uint32_t serial, const std::string& reason);
    // A failure that concerns no device (an option error, a missing serial port...).
    void FailRun(const std::string& reason);
    // A field of the document itself, for what concerns no device (the file -C checked).
    void SetRun(const std::string& key, const JsonValue& value);

    // Whether some device's entry says it failed.
    bool AnyDeviceFailed() const;

    // The document; "ok" is the run's result (exit status 0).
    std::string Document(bool ok) const;

  private:
    JsonValue& sEntry(uint32_t serial);

    mutable std::mutex lock;  // devices are reported from their own threads
    std::string command;
    std::string run_error;
    std::vector<std::pair<std::string, JsonValue>> run_fields;
    std::vector<std::pair<uint32_t, JsonValue>> devices;
};

// The serial number as the document writes it: eight upper-case hexadecimal digits.
std::string _json_serial(uint32_t serial);
// The fields of a device discovery found (model, module, router, version, build, transport, ip).
JsonValue _json_discovered(const DeviceInfo& device);
// A build list: [{"build": number, "version": text}], sorted by version as the listing is.
JsonValue _json_builds(const std::map<std::string, std::string>& builds);
// Four eight-digit hexadecimal words.
JsonValue _json_fingerprint(const Fingerprint& fingerprint);
// What the store holds for a device (-I): "settings" (an object of the stored keys),
// "stored_builds" ([{"build": number, "version": text, or null when the file does not load}],
// newest first) and "history" (its lines, oldest first).
JsonValue _json_stored(const StoredDevice& device);
// A loaded BIRD file (-C): "path", "build", "version", "model", "serial", "serial_patch"
// (the address patched, or null), "recovery_start" (or null), "loader_blocks",
// "firmware_blocks" (counts).
JsonValue _json_bird(const std::string& path, const BirdFile& bird);

#endif
