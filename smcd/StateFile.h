// The daemon's state file: the values of the writable keys, kept so that
// every acknowledged write survives a restart, in a directory that nobody
// else can write, and held by one daemon at a time.
#pragma once

#include "backends/KeyStore.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace smcd {

// The daemon keeps the platform's keys: these names are its own too.
using platform::fourCharText;
using platform::SMCKeyEntry;
using platform::SMCKeyStore;

// One saved value: the key's code and its bytes.
struct SavedValue {
    FourCharCode key = 0;
    uint8_t size = 0;
    std::array<uint8_t, 32> bytes{};
};

// A fan as it was before the daemon first changed it, to be put back: its
// bit of the forced-mode mask "FS! " and the values of its minimum, target
// and mode keys, each kept from just before the daemon's first write to it.
// Beside them, what the daemon last wrote to each: a value is put back only
// while the SMC still holds that, so a change another program made since is
// left alone. Records of earlier versions have no `written` (put back as
// they are).
struct FanRecord {
    uint32_t fan = 0;
    std::optional<bool> forced;
    std::vector<SavedValue> values;
    std::optional<bool> forcedWritten;
    std::vector<SavedValue> written;

    bool empty() const { return !forced && values.empty(); }
};

// The state text of the writable keys of `keys`, and of the fans still to
// be put back. Each key is stored by its code in hex, so that keys with zero
// or unprintable bytes come back exactly.
std::string stateText(const std::vector<SMCKeyEntry>& keys, const std::vector<FanRecord>& fans = {});

// Parses a state text into `values` and, when given, `fans`; on failure the
// 1-based line and the problem. Also reads the state of earlier versions.
std::optional<platform::ProfileError> parseStateText(std::string_view text, std::vector<SavedValue>& values,
                                           std::vector<FanRecord>* fans = nullptr);

class StateFile {
public:
    // Opens the state at `path` for this process's user: checks its
    // directory, takes the lock that keeps a second daemon off the same
    // state, and removes temporary files a crash left. Null with the reason
    // in `error` when the daemon must not start.
    static std::unique_ptr<StateFile> open(const std::string& path, std::string& error);
    ~StateFile();
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    // Restores the saved values into `smc`. False with the reason in `error`
    // when the file cannot be read or parsed; a value that no longer fits
    // the profile, or of a key the profile does not mark writable, is
    // skipped and named in `warnings`, one line each.
    bool load(SMCKeyStore& smc, std::string& error, std::vector<std::string>& warnings);
    // The same for any SMC: the values go into `smc` when there is one (an
    // SMC that is not emulated keeps its own), the fans still to be put
    // back into `fans`.
    bool load(SMCKeyStore* smc, std::vector<FanRecord>& fans, std::string& error,
              std::vector<std::string>& warnings);

    // Writes the writable keys of `keys` and the fans of `fans` to a new
    // file and renames it over the state; on disk, directory included, when
    // it returns true. False with the reason in `error`; the old state is
    // then left as it was.
    bool save(const std::vector<SMCKeyEntry>& keys, const std::vector<FanRecord>& fans, std::string& error);

    const std::string& path() const { return path_; }

private:
    StateFile(std::string path, std::string name, int directory, int lock);
    void removeLeftovers();

    std::string path_;   // as given, for messages
    std::string name_;   // the file's name in its directory
    int directory_;      // held open: saves go where the checks were made
    int lock_;
};

// The name of the lock file beside the state file `path`.
std::string stateLockPath(const std::string& path);

}  // namespace smcd
