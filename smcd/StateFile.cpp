#include "smcd/StateFile.h"
#include "smcd/Directories.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace smcd {

using namespace platform;
namespace {

// Version 3 added the fans to put back, version 4 what the daemon last
// wrote to them; earlier versions read the same way.
constexpr std::string_view kHeader = "# smcd state 4";
constexpr std::string_view kEarlierHeaders[] = {"# smcd state 3", "# smcd state 2"};
constexpr std::string_view kTemporaryInfix = ".tmp.";
constexpr size_t kRandomLength = 6;

// The key as text for people: printable characters as they are, every
// other byte as \xNN, so that a line never carries a control character.
std::string printableKey(FourCharCode key)
{
    std::string text;
    for (char c : fourCharText(key)) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            text += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", unsigned(uint8_t(c)));
            text += escaped;
        }
    }
    return text;
}

bool writeAll(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += size_t(wrote);
    }
    return true;
}

bool readAll(int fd, std::string& text)
{
    char buffer[8192];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        text.append(buffer, size_t(got));
    }
}

std::string randomSuffix()
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    uint8_t random[kRandomLength];
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != ssize_t(sizeof random)) {
        // O_EXCL keeps the file ours whatever the name; randomness only
        // spares a few retries, so the clock will do.
        uint64_t ticks = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
        for (uint8_t& byte : random) {
            byte = uint8_t(ticks);
            ticks = ticks * 6364136223846793005u + 1442695040888963407u;
        }
    }
    std::string text;
    for (uint8_t byte : random)
        text += kLetters[byte % (sizeof kLetters - 1)];
    return text;
}

std::vector<std::string_view> wordsOf(std::string_view line)
{
    std::vector<std::string_view> words;
    for (size_t at = 0; at < line.size();) {
        size_t start = line.find_first_not_of(" \t", at);
        if (start == std::string_view::npos || line[start] == '#')
            break;
        size_t end = std::min(line.find_first_of(" \t", start), line.size());
        words.push_back(line.substr(start, end - start));
        at = end;
    }
    return words;
}

std::optional<std::string> parseValueWords(const std::vector<std::string_view>& words, SavedValue& value)
{
    if (words.empty() || words[0].size() != 8)
        return "expected a key's code as eight hex digits";
    for (char c : words[0]) {
        if (hexValue(c) < 0)
            return "expected a key's code as eight hex digits";
        value.key = value.key << 4 | FourCharCode(hexValue(c));
    }
    if (words.size() - 1 > value.bytes.size())
        return "a value holds at most 32 bytes";
    for (size_t i = 1; i < words.size(); ++i) {
        std::string_view byte = words[i];
        if (byte.size() != 2 || hexValue(byte[0]) < 0 || hexValue(byte[1]) < 0)
            return "value bytes must be pairs of hex digits";
        value.bytes[value.size++] = uint8_t(hexValue(byte[0]) << 4 | hexValue(byte[1]));
    }
    return std::nullopt;
}

// "fan N forced 0|1" or "fan N CODE BYTES...": one piece of a fan to put
// back; after "fan N written", what the daemon last wrote there.
std::optional<std::string> parseFanWords(std::vector<std::string_view> words, std::vector<FanRecord>& fans)
{
    uint32_t fan = 0;
    bool written = words.size() > 2 && words[2] == "written";
    if (written)
        words.erase(words.begin() + 2);
    if (words.size() < 3 || words[1].empty() || words[1].size() > 3 ||
        words[1].find_first_not_of("0123456789") != std::string_view::npos)
        return "expected \"fan NUMBER [written] forced 0|1\" or \"fan NUMBER [written] CODE BYTES\"";
    for (char c : words[1])
        fan = fan * 10 + uint32_t(c - '0');
    if (fans.empty() || fans.back().fan != fan)
        fans.push_back({fan, std::nullopt, {}});
    FanRecord& record = fans.back();
    if (words[2] == "forced") {
        if (words.size() != 4 || (words[3] != "0" && words[3] != "1"))
            return "expected \"forced 0\" or \"forced 1\"";
        (written ? record.forcedWritten : record.forced) = words[3] == "1";
        return std::nullopt;
    }
    words.erase(words.begin(), words.begin() + 2);
    SavedValue value;
    if (auto problem = parseValueWords(words, value))
        return problem;
    (written ? record.written : record.values).push_back(value);
    return std::nullopt;
}

void appendValue(std::string& text, FourCharCode key, const uint8_t* bytes, size_t size)
{
    char code[9];
    std::snprintf(code, sizeof code, "%08x", key);
    text += code;
    text += ' ';
    for (size_t i = 0; i < size; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02x", bytes[i]);
        text += byte;
    }
    text += "  # " + printableKey(key) + "\n";
}

}  // namespace

std::string stateText(const std::vector<SMCKeyEntry>& keys, const std::vector<FanRecord>& fans)
{
    std::string text = std::string(kHeader) +
                       ": each writable key's code in hex, then its value bytes;\n"
                       "# after the \"#\" of a line, the key as text for people. Lines \"fan N\" hold\n"
                       "# how fan N was before the daemon changed it, until it is put back;\n"
                       "# \"fan N written\", what the daemon last wrote there.\n";
    for (const SMCKeyEntry& entry : keys)
        if (entry.writable)
            appendValue(text, entry.key, entry.bytes.data(), entry.size);
    for (const FanRecord& record : fans) {
        std::string prefix = "fan " + std::to_string(record.fan) + " ";
        if (record.forced)
            text += prefix + "forced " + (*record.forced ? "1" : "0") + "\n";
        for (const SavedValue& value : record.values) {
            text += prefix;
            appendValue(text, value.key, value.bytes.data(), value.size);
        }
        if (record.forcedWritten)
            text += prefix + "written forced " + (*record.forcedWritten ? "1" : "0") + "\n";
        for (const SavedValue& value : record.written) {
            text += prefix + "written ";
            appendValue(text, value.key, value.bytes.data(), value.size);
        }
    }
    return text;
}

std::optional<ProfileError> parseStateText(std::string_view text, std::vector<SavedValue>& values,
                                           std::vector<FanRecord>* fans)
{
    std::vector<FanRecord> ignored;
    bool current = text.starts_with(kHeader);
    for (std::string_view header : kEarlierHeaders)
        current = current || text.starts_with(header);
    if (!current) {
        // Earlier daemons saved profile key lines; they reload as before.
        std::vector<SMCKeyEntry> entries;
        if (auto failed = parseSMCProfile(text, entries))
            return failed;
        for (const SMCKeyEntry& entry : entries)
            values.push_back({entry.key, entry.size, entry.bytes});
        return std::nullopt;
    }
    std::unordered_map<FourCharCode, size_t> lineOfKey;
    for (size_t number = 1; !text.empty(); ++number) {
        std::string_view line = takeLine(text);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#')
            continue;
        std::vector<std::string_view> words = wordsOf(line);
        if (!words.empty() && words[0] == "fan") {
            if (auto problem = parseFanWords(words, fans ? *fans : ignored))
                return ProfileError{number, std::move(*problem)};
            continue;
        }
        SavedValue value;
        std::optional<std::string> problem = parseValueWords(words, value);
        if (!problem) {
            auto [earlier, added] = lineOfKey.emplace(value.key, number);
            if (added)
                values.push_back(value);
            else
                problem = "key \"" + printableKey(value.key) + "\" is already on line " + std::to_string(earlier->second);
        }
        if (problem)
            return ProfileError{number, std::move(*problem)};
    }
    return std::nullopt;
}

std::string stateLockPath(const std::string& path)
{
    return path + ".lock";
}

std::unique_ptr<StateFile> StateFile::open(const std::string& path, std::string& error)
{
    size_t slash = path.rfind('/');
    std::string directoryName = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        error = "the state " + path + " names a directory, not a file";
        return nullptr;
    }
    int directory = ::open(directoryName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        error = "cannot open the directory of the state " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (std::string problem = sharedDirectoryProblem(directory, geteuid()); !problem.empty()) {
        close(directory);
        error = "refusing the state " + path + ": " + problem +
                "; others could plant links or pipes at its names. Keep it in a directory that only you can write";
        return nullptr;
    }

    // Beside the state, not on it: a save renames a new file over the
    // state, and a lock on the old one would go with it.
    std::string lockName = name + ".lock";
    int lock = openat(directory, lockName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat status;
    std::string problem;
    if (lock < 0 && errno == ELOOP)
        problem = "it is a symbolic link, which is not followed";
    else if (lock < 0 || fstat(lock, &status) != 0)
        problem = std::strerror(errno);
    else if (!S_ISREG(status.st_mode))
        problem = "it is not a regular file";
    if (!problem.empty()) {
        error = "cannot use the lock " + stateLockPath(path) + ": " + problem;
        if (lock >= 0)
            close(lock);
        close(directory);
        return nullptr;
    }
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        int saved = errno;
        std::string holder;
        readAll(lock, holder);
        while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0'))
            holder.pop_back();
        error = saved == EWOULDBLOCK
                    ? "another smcd" + (holder.empty() ? std::string() : " (pid " + holder + ")") +
                          " is using the state " + path + "; two daemons on one state would undo each other's writes"
                    : "cannot lock " + stateLockPath(path) + ": " + std::strerror(saved);
        close(lock);
        close(directory);
        return nullptr;
    }
    // Who holds it, for the message of a second daemon.
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(lock, 0) == 0)
        (void)!pwrite(lock, pid.data(), pid.size(), 0);

    std::unique_ptr<StateFile> state(new StateFile(path, name, directory, lock));
    state->removeLeftovers();
    return state;
}

StateFile::StateFile(std::string path, std::string name, int directory, int lock)
    : path_(std::move(path)), name_(std::move(name)), directory_(directory), lock_(lock)
{
}

StateFile::~StateFile()
{
    // The lock file stays: removed, it could be held open by a daemon that
    // is just starting, while the next one locks a new file of that name.
    close(lock_);
    close(directory_);
}

void StateFile::removeLeftovers()
{
    // Temporary files of a daemon that died between creating and renaming;
    // the lock says no other daemon is writing one now.
    int listing = openat(directory_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listing >= 0 ? fdopendir(listing) : nullptr;
    if (entries == nullptr) {
        if (listing >= 0)
            close(listing);
        return;
    }
    std::string prefix = name_ + std::string(kTemporaryInfix);
    while (dirent* entry = readdir(entries)) {
        std::string_view candidate = entry->d_name;
        struct stat status;
        if (candidate.size() == prefix.size() + kRandomLength && candidate.starts_with(prefix) &&
            fstatat(directory_, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
            unlinkat(directory_, entry->d_name, 0);
    }
    closedir(entries);
}

bool StateFile::load(SMCKeyStore& smc, std::string& error, std::vector<std::string>& warnings)
{
    std::vector<FanRecord> fans;
    return load(&smc, fans, error, warnings);
}

bool StateFile::load(SMCKeyStore* smc, std::vector<FanRecord>& fans, std::string& error,
                     std::vector<std::string>& warnings)
{
    // Not the platform's file reader: that one follows links and would wait
    // forever on a pipe.
    int fd = openat(directory_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return true;  // a first start: nothing written yet
    if (fd < 0) {
        error = errno == ELOOP ? "cannot read state " + path_ + ": it is a symbolic link, which is not followed"
                               : "cannot read state " + path_ + ": " + std::strerror(errno);
        return false;
    }
    struct stat status;
    std::string text, problem;
    if (fstat(fd, &status) != 0)
        problem = std::strerror(errno);
    else if (!S_ISREG(status.st_mode))
        problem = "it is not a regular file";
    else if (!readAll(fd, text))
        problem = std::strerror(errno);
    close(fd);
    if (!problem.empty()) {
        error = "cannot read state " + path_ + ": " + problem;
        return false;
    }

    std::vector<SavedValue> values;
    if (auto failed = parseStateText(text, values, &fans)) {
        error = "state " + path_ + ":" + std::to_string(failed->line) + ": " + failed->problem;
        return false;
    }
    for (const SavedValue& value : values) {
        if (smc == nullptr)
            break;
        // Only what a client could have written: a value for a key the
        // profile keeps fixed is not an acknowledged write.
        std::optional<SMCKeyEntry> entry = smc->key(value.key);
        bool same = entry && entry->size == value.size &&
                    std::memcmp(entry->bytes.data(), value.bytes.data(), value.size) == 0;
        if (entry && !entry->writable && !same)
            warnings.push_back("state " + path_ + ": key \"" + printableKey(value.key) +
                               "\" is not writable in the profile; its saved value is not restored");
        else if (!same && !smc->setValue(value.key, value.bytes.data(), value.size))
            warnings.push_back("state " + path_ + ": key \"" + printableKey(value.key) +
                               "\" does not fit the profile; its value is not restored");
    }
    return true;
}

bool StateFile::save(const std::vector<SMCKeyEntry>& keys, const std::vector<FanRecord>& fans, std::string& error)
{
    std::string text = stateText(keys, fans);
    // A new file of a name nobody can foresee, created where nothing stood:
    // a link or pipe planted at any name is neither followed nor opened.
    std::string temporary;
    int fd = -1;
    for (int tries = 0; tries < 100 && fd < 0; ++tries) {
        temporary = name_ + std::string(kTemporaryInfix) + randomSuffix();
        fd = openat(directory_, temporary.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // Renamed over the old state once whole: a crash leaves one or the other.
    // The rename itself is on disk only once the directory is.
    bool written = writeAll(fd, text) && fsync(fd) == 0;
    int failure = written ? 0 : errno;
    if (close(fd) != 0 && written) {
        written = false;
        failure = errno;
    }
    bool ok = written && renameat(directory_, temporary.c_str(), directory_, name_.c_str()) == 0 &&
              fsync(directory_) == 0;
    if (!ok) {
        error = std::strerror(written ? errno : failure);
        unlinkat(directory_, temporary.c_str(), 0);
    }
    return ok;
}

}  // namespace smcd
