// Process-wide debug log. Every entry carries a package bit; only entries whose bit is active
// (or whose package is 0) are written, to the stream set by SetOutput.
#ifndef UPDATER_LOG_H
#define UPDATER_LOG_H

#include <atomic>
#include <cstdint>
#include <cstdio>

#define DEBUG_Updater 0x00000001u
#define DEBUG_History 0x00000002u
#define DEBUG_Attributes 0x00000004u
#define DEBUG_BirdFile 0x00000008u
#define DEBUG_Network_Old 0x00000010u
#define DEBUG_ServerComm 0x00000020u
#define DEBUG_Network 0x00000100u
#define DEBUG_Network_SR 0x00000200u
#define DEBUG_Network_FIRM 0x00000400u
#define DEBUG_NXPSerial 0x00001000u
#define DEBUG_NXPSerial_E 0x00002000u
#define DEBUG_NXPSerial_SR 0x00004000u
#define DEBUG_APP 0x00010000u
#define DEBUG_iMXSerial 0x10000000u

class Log {
  public:
    Log() {}
    ~Log() {}

    static void log(unsigned package, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* fh);
    // Appends the log to a file from now on, each line starting with the local time (-k).
    // False (errno set) when the file cannot be opened; the output is then unchanged.
    static bool SetOutputFile(const char* path);
    static void ActivatePackage(unsigned mask);
    static void DeactivatePackage(unsigned mask);
    static unsigned ActivePackages();

    static const char* const TIMESTAMP_FORMAT;
    static const char* const SEPARATOR;
    static std::atomic<bool> timestamped;  // written by update workers as well

  private:
    // Entries come from the main thread and from worker threads: atomics keep a concurrent
    // SetOutput or ActivatePackage from being a data race.
    static std::atomic<FILE*> fh;
    static std::atomic<uint32_t> package_bitmask;
    static std::atomic<bool> line_stamps;
};

#endif
