// The applesmc driver's device directory, made from any SMC: every file with
// its mode, exact text and errors, as smcfs serves them, one row of a table
// per file as the driver declares them. Formats and layouts live here and
// nowhere else; the FUSE side only forwards. Written from the driver's
// behaviour alone and independently of the driver back-end's reader
// (platform/backends/applesmc/), which it serves as the check on: it shares
// no code with it beyond the value encodings.
#pragma once

#include <IOKit/IOKitLib.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

namespace smcfs {

// Where the fan and temperature files stand: on the platform device
// (classic; the ACPI device APP0001:00 for a T2 machine's SMC), or in its
// hwmon class directory with fanN_target and pwmN_enable (the newer driver).
enum class Layout { Classic, Hwmon };

enum class NodeKind { Directory, File, Symlink };

class DriverFiles;
struct Node;

// Where a file stands: in the device directory, or with the fan and
// temperature files (the device directory, or its hwmon directory).
enum class Where { Device, Sensors };
// Whether a row makes one file, or one for each fan or temperature sensor.
enum class Repeat { Once, PerFan, PerTemperature };
// Which machines and layouts have the file.
enum class Only { Always, Classic, Hwmon, BatteryLimit /* T2 kernels, where BCLM exists */ };

// One row of the driver's file table, as the driver declares its files.
struct FileRow {
    const char* name;  // "fan%d_input": %d the fan's or sensor's number from 1
    Where where;
    Repeat repeat;
    Only only;
    mode_t mode;       // permission bits; every file is root's
    const char* key;   // the key it shows, "F%dAc" with the fan's digit from 0; or nullptr
    // Shows the file's text now: 0, or the errno its read fails with.
    int (DriverFiles::*show)(const Node& node, std::string& content);
    // Stores a value written to it: 0, or the errno; nullptr for a read-only file.
    int (DriverFiles::*store)(const Node& node, unsigned long value);
};

struct Node {
    NodeKind kind = NodeKind::File;
    mode_t mode = 0444;        // permission bits; every file is root's
    const FileRow* file = nullptr;  // a file's row
    int number = 0;            // N of fanN_ and tempN_
    std::string target;        // a symlink's
    std::vector<std::string> children;  // a directory's, in listing order
};

// What the FUSE side serves: a tree of nodes, their texts and their writes.
class FileTree {
public:
    virtual ~FileTree() = default;
    // The node at an absolute path ("/", "/fan1_input"); null when none.
    virtual const Node* find(std::string_view path) const = 0;
    // The file's text (or bytes) now; 0, or the errno its read fails with.
    virtual int read(const Node& node, std::string& content) = 0;
    // Stores `text` into the file; 0, or the errno its write fails with.
    // Permissions are the caller's to check.
    virtual int write(const Node& node, std::string_view text) = 0;
};

class DriverFiles final : public FileTree {
public:
    // Learns what the driver learns when it loads, over the open SMC
    // connection `connection`: every key's name, type and length, the fans
    // (FNum, ten at most) and the temperature keys. An SMC of a T2 machine
    // (fan speeds of type flt, or per-fan F<n>Md without "FS! ") gets the
    // files of the kernels with the T2 patches.
    DriverFiles(io_connect_t connection, Layout layout);

    const Node* find(std::string_view path) const override;
    int read(const Node& node, std::string& content) override;
    int write(const Node& node, std::string_view text) override;

    int fanCount() const { return fanCount_; }

private:
    struct Entry {
        bool valid = false;
        FourCharCode name = 0;
        FourCharCode type = 0;
        uint32_t length = 0;
    };

    friend struct FileRow;
    static const FileRow kFiles[];

    void addFile(const std::string& directory, const std::string& name, const FileRow& file, int number);
    void addDirectory(const std::string& path, const std::string& parent);
    void addSymlink(const std::string& directory, const std::string& name, std::string target);

    int entryAt(uint32_t index, const Entry*& entry);
    int readKey(FourCharCode key, uint32_t length, uint8_t* bytes);
    int writeKey(FourCharCode key, uint32_t length, const uint8_t* bytes);
    bool hasKey(FourCharCode key) const;
    FourCharCode typeOf(FourCharCode key) const;  // 0 for a key not in the table
    bool usesModeKey(int fan) const;
    int readManual(int fan, unsigned& mode);
    int writeManual(int fan, unsigned long value);

    // The key position the cursor shows, in one of its files.
    enum class EntryField { Name, Type, Length, Data };
    int showCursorEntry(std::string& content, EntryField field);

    // How the files of the table show and store.
    int showName(const Node& node, std::string& content);
    int showKeyCount(const Node& node, std::string& content);
    int showCursor(const Node& node, std::string& content);
    int storeCursor(const Node& node, unsigned long value);
    int showIndexName(const Node& node, std::string& content);
    int showIndexType(const Node& node, std::string& content);
    int showIndexLength(const Node& node, std::string& content);
    int showIndexData(const Node& node, std::string& content);
    int showFanLabel(const Node& node, std::string& content);
    int showFanSpeed(const Node& node, std::string& content);
    int storeFanSpeed(const Node& node, unsigned long value);
    int showManual(const Node& node, std::string& content);
    int storeManual(const Node& node, unsigned long value);
    int showPwmEnable(const Node& node, std::string& content);
    int storePwmEnable(const Node& node, unsigned long value);
    int showTempLabel(const Node& node, std::string& content);
    int showTempInput(const Node& node, std::string& content);
    int showBatteryLimit(const Node& node, std::string& content);
    int storeBatteryLimit(const Node& node, unsigned long value);

    io_connect_t connection_;
    std::unordered_map<std::string, Node> nodes_;
    std::vector<Entry> entries_;
    std::unordered_map<FourCharCode, uint32_t> positions_;
    std::vector<FourCharCode> temperatures_;
    int fanCount_ = 0;
    bool floatFans_ = false;  // fan speeds are flt, as on T2 machines
    uint32_t cursor_ = 0;  // one for every open of the file system
};

// A decimal as the kernel's kstrtoul reads it: base 10, an optional leading
// "+" and one trailing newline. False for anything else, "-" included.
bool parseUnsigned(std::string_view text, unsigned long& value);

}  // namespace smcfs
