// The driver's one key cursor: moving it, reading the files it shows and
// checking that no other program moved it meanwhile, learning and finding
// keys by position.
#include "backends/applesmc/Driver.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace platform::applesmc {
namespace {

std::atomic<bool> privilegeNoteShown{false};

}  // namespace

void Driver::noteNoPrivilege()
{
    if (!privilegeNoteShown.exchange(true))
        std::fprintf(stderr,
                     "applesmc: listing keys and reading them by name needs root or smcd: only root "
                     "may move the driver's key cursor (%s/key_at_index); without root only the fan "
                     "and temperature keys are served. An smcd started by root serves every key to "
                     "the members of its --group: SMC_SERVICE=unix:/run/smcd.sock\n",
                     layout_.keyDirectory.c_str());
}

kern_return_t Driver::refusal()
{
    return statusFromErrno(cursorError_, ErrnoOrigin::CursorOpen);
}

int Driver::setCursor(uint32_t index)
{
    cursorAt_ = -1;
    if (int error = cursor_.writeNumber(index))
        return error;
    cursorAt_ = index;
    return 0;
}

// Reads `file` for position `index` and then checks that the cursor was
// not moved meanwhile: by its value when `name` is 0, else by the name it
// shows. 0 with the bytes read in `size`, the errno of the read, or
// kMoved when the cursor had moved.
int Driver::readOnce(uint32_t index, const SysfsFile& file, char* buffer, size_t capacity, ssize_t& size,
             FourCharCode name)
{
    // Left where this process put it last: the check below catches a move.
    if (cursorAt_ != index)
        if (int error = setCursor(index))
            return error;
    size = file.read(buffer, capacity);
    int error = size < 0 ? errno : 0;
    bool still;
    if (name == 0) {
        long long now;
        if (int cursorError = cursor_.readNumber(now))
            return cursorError;
        still = now == index;
    } else {
        char shown[16];
        ssize_t shownSize = name_.read(shown, sizeof shown);
        if (shownSize < 0)
            return errno;
        still = codeFromText(std::string_view(shown, size_t(shownSize))) == name;
    }
    if (still)
        return error;
    cursorAt_ = -1;
    contendedUntil_ = std::chrono::steady_clock::now() + kContentionMemory;
    return kMoved;
}

// readOnce, retried with growing pauses for a bounded time: a script
// that lists keys now and then moves the cursor in bursts, which a pause
// outlasts. While another program is seen moving the cursor, it may also
// move it away and back between our read and our check: then two checked
// reads must agree.
int Driver::readChecked(uint32_t index, const SysfsFile& file, char* buffer, size_t capacity, ssize_t& size,
           FourCharCode name)
{
    auto deadline = std::chrono::steady_clock::now() + kCursorPatience;
    int tries = 0;
    auto pause = kFirstPause;
    auto waitOrGiveUp = [&] {
        if (++tries < kQuickTries)
            return true;
        auto now = std::chrono::steady_clock::now();
        if (now < gaveUpUntil_ || now >= deadline) {
            gaveUpUntil_ = now + kGiveUpMemory;
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, kLongestPause);
        return true;
    };
    for (;;) {
        int result = readOnce(index, file, buffer, capacity, size, name);
        if (result == kMoved) {
            if (!waitOrGiveUp())
                return kMoved;
            continue;
        }
        if (result != 0 || !contended())
            return result;
        char again[64];
        ssize_t againSize;
        result = readOnce(index, file, again, capacity < sizeof again ? capacity : sizeof again, againSize, name);
        if (result > 0)
            return result;
        if (result == 0 && againSize == size && std::memcmp(again, buffer, size_t(size)) == 0)
            return 0;
        if (!waitOrGiveUp())
            return kMoved;
    }
}

kern_return_t Driver::status(int error) { return error < 0 ? kIOReturnBusy : statusFromErrno(error); }

// Whether a status ends a lookup, rather than showing one position the
// driver cannot describe.
bool Driver::fatal(kern_return_t status)
{
    return status == kIOReturnBusy || status == kIOReturnNoDevice || status == kIOReturnNotPrivileged;
}

// Learns the name, type and length at `index`: in one sweep checked by the
// cursor's value, or, while another program keeps moving the cursor, one
// file at a time, each checked on its own.
kern_return_t Driver::learn(uint32_t index, bool withValue)
{
    if (index < entries_.size() && entries_[index].known)
        return KERN_SUCCESS;
    if (index < tableLearnt_.size()) {
        keep(index, tableLearnt_[index]);
        return KERN_SUCCESS;
    }
    CursorLock lock(projectLock_);
    char name[16], type[16], length[32];
    ssize_t nameSize = 0, typeSize = 0, lengthSize = 0;
    uint8_t value[33];
    ssize_t valueSize = -1;
    bool swept = false;
    if (contended()) {
        // The sweep below would mostly be lost to the other program.
    } else if (int error = setCursor(index)) {
        return statusFromErrno(error);
    } else {
        nameSize = name_.read(name, sizeof name);
        typeSize = nameSize < 0 ? -1 : type_.read(type, sizeof type);
        // The value's size is the key's length: one read gives both. A
        // value that fails to read leaves the length to its own file.
        if (withValue && typeSize >= 0)
            valueSize = data_.read(reinterpret_cast<char*>(value), sizeof value);
        if (valueSize > 32)
            valueSize = -1;
        if (valueSize >= 0)
            lengthSize = std::snprintf(length, sizeof length, "%zd", valueSize);
        else
            lengthSize = typeSize < 0 ? -1 : length_.read(length, sizeof length);
        int readError = lengthSize < 0 ? errno : 0;
        long long now;
        if (int cursorError = cursor_.readNumber(now))
            return statusFromErrno(cursorError);
        if (now == index) {
            if (readError)
                return statusFromErrno(readError);
            swept = true;
        } else {
            cursorAt_ = -1;
            contendedUntil_ = std::chrono::steady_clock::now() + kContentionMemory;
        }
    }
    if (!swept) {
        if (int failed = readChecked(index, name_, name, sizeof name, nameSize, 0))
            return status(failed);
        FourCharCode shown = codeFromText(std::string_view(name, size_t(nameSize)));
        if (int failed = readChecked(index, type_, type, sizeof type, typeSize, shown))
            return status(failed);
        if (int failed = readChecked(index, length_, length, sizeof length, lengthSize, shown))
            return status(failed);
    }
    long long size;
    if (!parseDecimal(std::string_view(length, size_t(lengthSize)), size) || size < 0 || size > 32)
        return kIOReturnIOError;
    FourCharCode key = codeFromText(std::string_view(name, size_t(nameSize)));
    keep(index, {true, key, codeFromText(std::string_view(type, size_t(typeSize))), uint32_t(size), true});
    if (swept && valueSize >= 0) {
        prefetched_ = Prefetched{true, index, key, uint32_t(valueSize), {}, std::chrono::steady_clock::now()};
        std::memcpy(prefetched_.bytes, value, size_t(valueSize));
    }
    return KERN_SUCCESS;
}

void Driver::keep(uint32_t index, const IndexEntry& entry)
{
    if (entries_.size() <= index)
        entries_.resize(index + 1);
    entries_[index] = entry;
    entries_[index].known = true;
    positions_.try_emplace(entry.name, index);
    noteName(index, entry.name);
    // Every fan speed key of a machine has one type: fpe2, or flt on T2 machines.
    for (const char* ending : {"Ac", "Mn", "Mx", "Tg"})
        if (fanOfKey(entry.name, ending))
            fanType_ = entry.type;
}

kern_return_t Driver::keyAtIndex(uint32_t index, CallRecord& reply)
{
    if (cursorError_ != 0) {
        if (cursorError_ == EACCES || cursorError_ == EPERM)
            noteNoPrivilege();
        return refusal();
    }
    // Takes up a table learnt earlier, which names every position at once.
    if (kern_return_t status = countKeys())
        return status;
    if (kern_return_t status = learn(index, listing_))
        return status;
    reply.key = entries_[index].name;
    listed_ = reply.key;
    return KERN_SUCCESS;
}

// The number of positions the cursor accepts: the key count the driver
// cached when it loaded, which it refuses every position past.
kern_return_t Driver::cursorBound(long long& count)
{
    CursorLock lock(projectLock_);
    long long accepted = 0, refused = kMaxKeys;
    while (accepted < refused) {
        long long middle = accepted + (refused - accepted) / 2;
        int error = setCursor(uint32_t(middle));
        if (error == 0)
            accepted = middle + 1;
        else if (error == EINVAL)
            refused = middle;
        else
            return statusFromErrno(error);
    }
    count = accepted;
    return KERN_SUCCESS;
}

// How many positions to look through, learnt once: the positions the
// cursor accepts, which costs the SMC nothing, where key_count would read
// #KEY from it. A cursor that accepts every position is no driver's but a
// plain file: its text is put back as it was, and key_count tells.
kern_return_t Driver::countKeys()
{
    if (keyTotal_ >= 0)
        return KERN_SUCCESS;
    loadTable();
    if (!tableLearnt_.empty()) {
        if (tableHolds()) {
            auto count = uint32_t(tableLearnt_.size());
            keyCountValue_ = count;
            keyTotal_ = count;
            bounded_ = true;
            return KERN_SUCCESS;
        }
        tableLearnt_.clear();
    }
    char before[32];
    ssize_t beforeSize = cursor_.read(before, sizeof before);
    long long total = 0;
    if (kern_return_t status = cursorBound(total))
        return status;
    bounded_ = total < kMaxKeys;
    if (total >= kMaxKeys) {
        if (beforeSize >= 0 && pwrite(cursor_.fd(), before, size_t(beforeSize), 0) == beforeSize)
            (void)!ftruncate(cursor_.fd(), beforeSize);
        cursorAt_ = -1;
        if (int error = keyCount_.readNumber(total))
            return statusFromErrno(error);
    }
    keyCountValue_ = uint32_t(total);  // key_count prints #KEY with %d
    keyTotal_ = total < 0 ? 0 : total > kMaxKeys ? kMaxKeys : total;
    return KERN_SUCCESS;
}

// Keeps a name seen at `index` and checks it against the nearest names seen
// on either side: the driver keeps its table sorted by the four bytes, and
// a table that is not (a double) cannot be searched.
void Driver::noteName(uint32_t index, FourCharCode name)
{
    auto [at, added] = namesSeen_.try_emplace(index, name);
    if (!added) {
        unsorted_ = unsorted_ || at->second != name;
        return;
    }
    if (at != namesSeen_.begin() && std::prev(at)->second >= name)
        unsorted_ = true;
    if (std::next(at) != namesSeen_.end() && std::next(at)->second <= name)
        unsorted_ = true;
}

// The name at `index`, with `named` false where the driver cannot describe
// the position. The name file answers from the driver's cache, so this
// costs the SMC nothing; the read is checked against the cursor's moves
// as every read is.
kern_return_t Driver::probe(uint32_t index, FourCharCode& name, bool& named)
{
    named = false;
    if (auto seen = namesSeen_.find(index); seen != namesSeen_.end()) {
        name = seen->second;
        named = true;
        return KERN_SUCCESS;
    }
    if (undescribed_.contains(index))
        return KERN_SUCCESS;
    char text[16];
    ssize_t size;
    int failed;
    {
        CursorLock lock(projectLock_);
        failed = readChecked(index, name_, text, sizeof text, size, 0);
    }
    if (failed) {
        if (kern_return_t result = status(failed); fatal(result))
            return result;
        undescribed_.insert(index);
        return KERN_SUCCESS;
    }
    name = codeFromText(std::string_view(text, size_t(size)));
    named = true;
    noteName(index, name);
    return KERN_SUCCESS;
}

// Binary search over the positions, as the driver finds keys itself; -1
// in `position` when no position holds `key`. Falls back to the walk once
// two names turn out of order.
kern_return_t Driver::search(FourCharCode key, long long& position)
{
    uint32_t low = 0, high = uint32_t(keyTotal_);
    // The ends first, once: a table whose halves were swapped shows it there.
    for (uint32_t end : {low, high - 1}) {
        FourCharCode name;
        bool named;
        if (kern_return_t status = probe(end, name, named))
            return status;
    }
    while (low < high && !unsorted_) {
        uint32_t middle = low + (high - low) / 2;
        // Positions without a name hold no key: the first named one at or
        // above the middle decides.
        uint32_t at = middle;
        FourCharCode name = 0;
        bool named = false;
        for (; at < high; ++at) {
            if (kern_return_t status = probe(at, name, named))
                return status;
            if (named)
                break;
        }
        if (!named || name > key) {
            high = middle;
        } else if (name < key) {
            low = at + 1;
        } else if (!unsorted_) {
            kern_return_t learnt = learn(at);
            if (fatal(learnt))
                return learnt;
            if (learnt == KERN_SUCCESS && entries_[at].name == key)
                position = at;
            return KERN_SUCCESS;
        }
    }
    return unsorted_ ? walk(key, position) : KERN_SUCCESS;
}

// Learns names in order from where the last walk stopped until `key` shows.
kern_return_t Driver::walk(FourCharCode key, long long& position)
{
    for (; scanned_ < keyTotal_; ++scanned_) {
        kern_return_t learnt = learn(uint32_t(scanned_));
        // A position that the driver cannot describe holds no key we can
        // name; one we could not read for the cursor's moves may hold it.
        if (fatal(learnt))
            return learnt;
        if (learnt == KERN_SUCCESS && entries_[scanned_].name == key) {
            position = scanned_++;
            return KERN_SUCCESS;
        }
    }
    return KERN_SUCCESS;
}

// The position of `key` in `position`; -1 when no position holds it.
kern_return_t Driver::find(FourCharCode key, long long& position)
{
    position = -1;
    if (auto found = positions_.find(key); found != positions_.end()) {
        position = found->second;
        return KERN_SUCCESS;
    }
    if (kern_return_t status = countKeys())
        return status;
    if (keyTotal_ <= kWalkedWhole || unsorted_)
        return walk(key, position);
    if (tableLearnt_.empty() && !swept_)
        sweepTable();
    if (!tableLearnt_.empty()) {
        auto at = std::lower_bound(tableLearnt_.begin(), tableLearnt_.end(), key,
                                   [](const IndexEntry& entry, FourCharCode name) { return entry.name < name; });
        auto index = uint32_t(at - tableLearnt_.begin());
        if (at != tableLearnt_.end() && at->name == key) {
            position = index;
            keep(index, *at);
            return KERN_SUCCESS;
        }
        // Absent by the table: believed once the names on either side are
        // where it puts them.
        bool holds = true;
        for (uint32_t neighbour : {index - 1, index}) {
            if (neighbour >= tableLearnt_.size() || neighboursChecked_.contains(neighbour))
                continue;
            char text[16];
            ssize_t size;
            int failed;
            {
                CursorLock lock(projectLock_);
                failed = readChecked(neighbour, name_, text, sizeof text, size, 0);
            }
            if (kern_return_t result = status(failed); failed != 0 && fatal(result))
                return result;
            holds = failed == 0 && codeFromText(std::string_view(text, size_t(size))) == tableLearnt_[neighbour].name;
            if (!holds)
                break;
            neighboursChecked_.insert(neighbour);
        }
        if (holds)
            return KERN_SUCCESS;
        forgetTable();
    }
    return search(key, position);
}

// The file that keeps every position's name, type and length of the lock's
// device for the processes after this one: beside the lock, so root's alone.
std::string Driver::tablePath() const
{
    const std::string& lock = projectLock_.path();
    if (lock.size() < 5 || !lock.ends_with(".lock"))
        return {};
    return lock.substr(0, lock.size() - 5) + ".table";
}

namespace {

constexpr char kTableMagic[8] = {'s', 'm', 'c', 't', 'a', 'b', 'l', '1'};

// One position as the table file keeps it.
struct TableRecord {
    FourCharCode name, type;
    uint32_t length;
};

}  // namespace

// A search costs a dozen file operations a key and a listing five a
// position, where the driver's table does not change while it is loaded:
// the table an earlier process learnt is taken up, root's only. A mount's
// device number may come back for another table, so it is believed only as
// far as it is checked: once by the cursor's bound and the names at two
// positions (tableHolds), then by every read, which finds its key's own
// name at its position or drops the table (readByName).
void Driver::loadTable()
{
    tableLearnt_.clear();
    std::string path = tablePath();
    if (path.empty())
        return;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    struct stat file;
    std::string bytes;
    constexpr off_t most = sizeof kTableMagic + sizeof(TableRecord) * kMaxKeys;
    if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && file.st_uid == 0 && (file.st_mode & 022) == 0 &&
        file.st_size > off_t(sizeof kTableMagic) && file.st_size <= most) {
        bytes.resize(size_t(file.st_size));
        if (pread(fd, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size()))
            bytes.clear();
    }
    close(fd);
    if ((bytes.size() - sizeof kTableMagic) % sizeof(TableRecord) != 0 ||
        bytes.compare(0, sizeof kTableMagic, kTableMagic, sizeof kTableMagic) != 0)
        return;
    std::vector<TableRecord> records((bytes.size() - sizeof kTableMagic) / sizeof(TableRecord));
    std::memcpy(records.data(), bytes.data() + sizeof kTableMagic, records.size() * sizeof(TableRecord));
    std::vector<IndexEntry> table;
    table.reserve(records.size());
    for (const TableRecord& record : records) {
        // The driver's table is sorted and its values fit a call: anything else is no table of its.
        if ((!table.empty() && table.back().name >= record.name) || record.length > 32)
            return;
        table.push_back({true, record.name, record.type, record.length, false, true});
    }
    tableLearnt_ = std::move(table);
}

// Whether the table taken up is this device's, as far as a few moves tell:
// the cursor stops where the table ends, and the last and the middle
// positions hold the names the table says. The names cost the SMC nothing.
bool Driver::tableHolds()
{
    auto count = uint32_t(tableLearnt_.size());
    CursorLock lock(projectLock_);
    if (setCursor(count - 1) != 0 || setCursor(count) != EINVAL)
        return false;
    cursorAt_ = count - 1;  // a refused move leaves the cursor where it was
    for (uint32_t index : {count - 1, count / 2}) {
        char text[16];
        ssize_t size;
        if (readChecked(index, name_, text, sizeof text, size, 0) != 0 ||
            codeFromText(std::string_view(text, size_t(size))) != tableLearnt_[index].name)
            return false;
    }
    return true;
}

// Learns every position's name, type and length, once, and keeps them for
// the processes after this one. Costs no SMC transaction: the driver
// answers them from its table. Only on a driver's cursor (a plain file's
// accepts every position), and only with the lock's directory to keep
// them in.
void Driver::sweepTable()
{
    swept_ = true;
    std::string path = tablePath();
    if (path.empty() || !bounded_ || keyTotal_ <= 0)
        return;
    std::vector<TableRecord> records(static_cast<size_t>(keyTotal_));
    for (uint32_t i = 0; i < records.size(); ++i) {
        // A busy cursor or a position it cannot describe: searches serve.
        if (learn(i) != KERN_SUCCESS || unsorted_)
            return;
        records[i] = {entries_[i].name, entries_[i].type, entries_[i].length};
    }
    std::string temporary = path + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return;
    std::string bytes(kTableMagic, sizeof kTableMagic);
    bytes.append(reinterpret_cast<const char*>(records.data()), records.size() * sizeof(TableRecord));
    bool written = fchmod(fd, 0644) == 0 && ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0)
        unlink(temporary.c_str());
    tableLearnt_.assign(entries_.begin(), entries_.begin() + records.size());
}

// Checks, once, that `key` is at `index` where the table taken up puts it,
// of the type and length it gives: kStaleTable when not. Another table's
// key of the same name may differ in type alone (sp78 and sp87), which
// would read at another scale. A read of the name before and after the
// others shows where the cursor stood; only a different name needs the
// cursor's own check, which tells another program's move from another table.
kern_return_t Driver::see(uint32_t index, FourCharCode key)
{
    CursorLock lock(projectLock_);
    struct Shown {
        const SysfsFile* file;
        char text[16];
        ssize_t size = -1;
        FourCharCode code() const { return codeFromText(std::string_view(text, size_t(size))); }
    } name{&name_, {}}, type{&type_, {}}, length{&length_, {}}, nameAgain{&name_, {}};
    bool quick = cursorAt_ == index || setCursor(index) == 0;
    for (Shown* shown : {&name, &type, &length, &nameAgain})
        quick = quick && (shown->size = shown->file->read(shown->text, sizeof shown->text)) >= 0;
    if (!quick || name.code() != key || nameAgain.code() != key) {
        if (int failed = readChecked(index, name_, name.text, sizeof name.text, name.size, 0))
            return status(failed);
        if (name.code() != key)
            return kStaleTable;
        for (Shown* shown : {&type, &length})
            if (int failed = readChecked(index, *shown->file, shown->text, sizeof shown->text, shown->size, key))
                return status(failed);
    }
    long long size;
    IndexEntry& entry = entries_[index];
    if (type.code() != entry.type || !parseDecimal(std::string_view(length.text, size_t(length.size)), size) ||
        size != entry.length)
        return kStaleTable;
    entry.seen = true;
    return KERN_SUCCESS;
}

// Forgets a table that a read found wrong, and everything taken from it,
// here and for the processes after; keys are searched for from then on.
void Driver::forgetTable()
{
    tableLearnt_.clear();
    unlink(tablePath().c_str());
    entries_.clear();
    positions_.clear();
    neighboursChecked_.clear();
    namesSeen_.clear();
    undescribed_.clear();
    unsorted_ = false;
    scanned_ = 0;
}

kern_return_t Driver::readByName(FourCharCode key, KeyValue& value, bool withData, Prefetched& pending)
{
    kern_return_t status = readAt(key, value, withData, pending);
    if (status != kStaleTable)
        return status;
    // The key is not where the names learnt put it: another table's.
    forgetTable();
    relearnt_ = true;
    status = readAt(key, value, withData, pending);
    return status == kStaleTable ? fromFilesWhileBusy(key, value.type, value) : status;
}

kern_return_t Driver::readAt(FourCharCode key, KeyValue& value, bool withData, Prefetched& pending)
{
    long long position;
    if (kern_return_t status = find(key, position))
        return status == kIOReturnBusy ? fromFilesWhileBusy(key, 0, value) : status;
    if (position < 0) {
        // #KEY outside the positions the cursor reaches (a count of 0 or
        // below, or one that leaves #KEY out): what key_count says, or,
        // where #KEY is outside the driver's table too, the count the
        // driver took from it when it loaded.
        if (key == fourCharCode("#KEY")) {
            long long count = keyCountValue_;
            if (withData)
                if (int error = keyCount_.readNumber(count); error != 0 && error != EINVAL)
                    return statusFromErrno(error);
            value.type = fourCharCode("ui32");
            value.size = 4;
            for (int i = 0; i < 4; ++i)
                value.bytes[i] = uint8_t(uint32_t(count) >> (24 - 8 * i));
        }
        return KERN_SUCCESS;  // unknown: size 0, as the controller answers
    }
    const IndexEntry& entry = entries_[position];
    if (!entry.seen)
        if (kern_return_t status = see(uint32_t(position), key))
            return status == kIOReturnBusy ? fromFilesWhileBusy(key, entry.type, value) : status;
    value.type = entry.type;
    value.size = entry.length;
    if (!withData)
        return KERN_SUCCESS;
    if (pending.valid && pending.index == uint32_t(position) && pending.size == entry.length &&
        std::chrono::steady_clock::now() - pending.at < kPrefetchLife) {
        pending.valid = false;
        std::memcpy(value.bytes, pending.bytes, pending.size);
        return KERN_SUCCESS;
    }
    char bytes[33];
    ssize_t size;
    int failed;
    {
        CursorLock lock(projectLock_);
        failed  = readChecked(uint32_t(position), data_, bytes, sizeof bytes, size, entry.name);
    }
    // The name is checked; the length too, since a key shares no name: a
    // length other than the one learnt proves what was learnt wrong (another
    // table's, or seen while another program moved the cursor back and forth).
    if (failed == 0 && uint32_t(size) != entry.length)
        return kStaleTable;
    if (failed < 0)
        return fromFilesWhileBusy(key, entry.type, value);
    if (failed)
        return status(failed);
    std::memcpy(value.bytes, bytes, entry.length);
    return KERN_SUCCESS;
}

}  // namespace platform::applesmc
