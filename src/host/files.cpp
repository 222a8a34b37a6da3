// Numbered files, the portable part: the file table, the one 4096-byte buffer per file that
// serves reading and writing, and text reading and writing. The operating-system calls are
// behind files_os.hpp.
#include "host/files.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "host/failure.hpp"
#include "host/files_os.hpp"

namespace host {

namespace {

// Fixed numbers above this are refused instead of growing the table to match.
constexpr int largest_fixed_number = 1 << 20;
constexpr int first_table_size = 16;

enum class Mode { read, write };

struct FileRecord {
    file_os::Handle handle = file_os::no_handle;
    std::unique_ptr<std::uint8_t[]> buffer;
    // Read mode: read-ahead bytes not yet consumed. Write mode: free space left in the buffer.
    std::int64_t count = 0;
    // Read mode: bytes the last refill put into the buffer; the next unconsumed byte is at
    // filled - count.
    std::int64_t filled = 0;
    Mode mode = Mode::read;
    int encoding = encoding_utf8;
    Text path;
    // The first write that failed, kept for the close: a caller that does not check each write
    // still learns at the close that the file is not whole, and why.
    Failure write_failure;
};

struct NewNumberFile {
    int number;
    std::unique_ptr<FileRecord> record;
};

struct FileTable {
    std::vector<std::unique_ptr<FileRecord>> fixed =
        std::vector<std::unique_ptr<FileRecord>>(first_table_size);
    std::vector<NewNumberFile> new_number_files;  // the most recently opened first
    int next_new_number = -2;
    bool closed_for_good = false;  // the run is ending: no file may be opened any more
};

// One lock for the whole table: the console event handler may close every file from its own
// thread while the main thread is in the middle of a file operation. Neither object is ever
// destroyed, so files can still be closed while the process exits.
std::recursive_mutex& table_lock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

FileTable& table() {
    static auto* the_table = new FileTable;
    return *the_table;
}

std::atomic<std::int64_t> system_writes{0};

std::int64_t system_write(FileRecord& record, const std::uint8_t* source, std::int64_t count) {
    ++system_writes;
    return file_os::write(record.handle, source, count);
}

FileRecord* find_record(int number) {
    FileTable& files = table();
    if (number >= 0) {
        if (static_cast<std::size_t>(number) >= files.fixed.size()) return nullptr;
        return files.fixed[static_cast<std::size_t>(number)].get();
    }
    for (NewNumberFile& file : files.new_number_files) {
        if (file.number == number) return file.record.get();
    }
    return nullptr;
}

// Notes a failed write of the record's file, with its name, which the system half does not know.
void note_write_failure(FileRecord& record) {
    const Failure& failure = last_failure();
    note_system_failure(failure.operation, record.path, failure.system_code);
    if (record.write_failure.cause == Cause::none) record.write_failure = last_failure();
}

// Writes out the buffer. A short write is a failure: the bytes that did not reach the file are
// dropped, and the file is marked as not whole.
bool flush_file(FileRecord& record) {
    if (record.mode != Mode::write) return true;
    const std::int64_t waiting = file_buffer_size - record.count;
    record.count = file_buffer_size;
    if (waiting <= 0 || system_write(record, record.buffer.get(), waiting) == waiting) return true;
    note_write_failure(record);
    return false;
}

// True when every byte written reached the file and the system closed it without complaint;
// otherwise the first failure is the last one noted.
bool close_record(FileRecord& record) {
    flush_file(record);
    const bool closed = file_os::close(record.handle);
    if (!closed) note_write_failure(record);
    record.handle = file_os::no_handle;
    record.buffer.reset();
    if (record.write_failure.cause == Cause::none) return closed;
    note_failure(record.write_failure);
    return false;
}

std::int64_t buffered_read(FileRecord& record, std::uint8_t* destination, std::int64_t wanted) {
    if (wanted <= 0) return 0;
    if (record.mode == Mode::write) {
        flush_file(record);
        record.mode = Mode::read;
        record.count = 0;
        record.filled = 0;
    }
    std::uint8_t* buffer = record.buffer.get();
    if (record.count >= wanted) {
        std::memcpy(destination, buffer + record.filled - record.count, static_cast<std::size_t>(wanted));
        record.count -= wanted;
        return wanted;
    }
    const std::int64_t copied = record.count;
    if (copied > 0) {
        std::memcpy(destination, buffer + record.filled - copied, static_cast<std::size_t>(copied));
    }
    record.count = 0;
    const std::int64_t rest = wanted - copied;
    if (rest >= file_buffer_size) {
        return copied + file_os::read(record.handle, destination + copied, rest);
    }
    const std::int64_t got = file_os::read(record.handle, buffer, file_buffer_size);
    record.filled = got;
    const std::int64_t taken = std::min(rest, got);
    if (taken > 0) std::memcpy(destination + copied, buffer, static_cast<std::size_t>(taken));
    record.count = got - taken;
    return copied + taken;
}

// Gives back the last unit read, so that the next read returns it again.
void push_back(FileRecord& record, std::int64_t unit) {
    if (record.filled - record.count >= unit) {
        record.count += unit;
        return;
    }
    // The unit came partly from the previous refill (a 16-bit unit at an odd position across
    // the buffer's end): drop the read-ahead and move the system's position back instead.
    file_os::seek(record.handle, -(record.count + unit), file_os::Origin::current);
    record.count = 0;
    record.filled = 0;
}

std::int64_t buffered_write(FileRecord& record, const std::uint8_t* source, std::int64_t count) {
    if (count <= 0) return 0;
    if (record.mode == Mode::read) {
        // Writing starts where the caller's reading stopped, not after the read-ahead.
        if (record.count > 0) file_os::seek(record.handle, -record.count, file_os::Origin::current);
        record.mode = Mode::write;
        record.count = file_buffer_size;
    }
    std::uint8_t* buffer = record.buffer.get();
    if (record.count > count) {
        std::memcpy(buffer + file_buffer_size - record.count, source, static_cast<std::size_t>(count));
        record.count -= count;
        return count;
    }
    if (!flush_file(record)) return 0;
    if (count >= file_buffer_size) {
        const std::int64_t written = system_write(record, source, count);
        if (written != count) note_write_failure(record);
        return written;
    }
    std::memcpy(buffer, source, static_cast<std::size_t>(count));
    record.count -= count;
    return count;
}

int take_new_number() {
    FileTable& files = table();
    for (;;) {
        const int number = files.next_new_number;
        files.next_new_number = number == INT_MIN ? -2 : number - 1;
        if (find_record(number) == nullptr) return number;
    }
}

int open_numbered_file(int number, const Text& path, std::uint32_t flags, bool create) {
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    FileTable& files = table();
    if (number < new_number || number > largest_fixed_number || files.closed_for_good) return 0;

    if (number >= 0) {
        const auto slot = static_cast<std::size_t>(number);
        if (slot >= files.fixed.size()) files.fixed.resize(slot + first_table_size);
        if (files.fixed[slot]) {
            close_record(*files.fixed[slot]);
            files.fixed[slot].reset();
        }
    }

    file_os::Sharing sharing = file_os::Sharing::none;
    if (flags & share_read) sharing = file_os::Sharing::read;
    if (flags & share_all) sharing = file_os::Sharing::all;

    file_os::Handle handle;
    if (create) {
        handle =
            file_os::open(path, file_os::Access::read_write, sharing, file_os::Disposition::create_always);
        if (handle == file_os::no_handle) {
            // The retry is for a file that may be written but not read; when it fails too, the
            // first refusal says why (the retry's "not found" would only mislead).
            const Failure refused = last_failure();
            handle = file_os::open(path, file_os::Access::write_only, sharing,
                                   file_os::Disposition::truncate_existing);
            if (handle == file_os::no_handle) note_failure(refused);
        }
    } else if (flags & read_only) {
        handle =
            file_os::open(path, file_os::Access::read_only, sharing, file_os::Disposition::open_existing);
    } else {
        handle = file_os::open(path, file_os::Access::read_write, sharing, file_os::Disposition::open_always);
    }
    if (handle == file_os::no_handle) return 0;

    auto record = std::make_unique<FileRecord>();
    record->handle = handle;
    record->buffer.reset(new (std::nothrow) std::uint8_t[file_buffer_size]);
    if (!record->buffer) {
        file_os::close(handle);
        note_failure(u"open", path, Cause::no_memory);
        return 0;
    }
    record->path = path;
    record->mode = Mode::read;
    record->count = 0;
    record->filled = 0;
    const int code = static_cast<int>(flags & 0x1F);
    record->encoding = code == 0 ? encoding_utf8 : code;

    if (number >= 0) {
        files.fixed[static_cast<std::size_t>(number)] = std::move(record);
        return 1;
    }
    const int issued = take_new_number();
    files.new_number_files.insert(files.new_number_files.begin(), NewNumberFile{issued, std::move(record)});
    return issued;
}

std::string encode_text(const Text& text, int encoding) {
    if (encoding == encoding_utf16le) {
        std::string bytes;
        bytes.reserve(text.size() * 2);
        for (char16_t unit : text) {
            bytes.push_back(static_cast<char>(unit & 0xFF));
            bytes.push_back(static_cast<char>(unit >> 8));
        }
        return bytes;
    }
    if (encoding == encoding_utf8) return to_utf8(text);
    return to_single_byte(text);
}

std::int64_t write_bytes(FileRecord& record, const std::string& bytes) {
    return buffered_write(record, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                          static_cast<std::int64_t>(bytes.size()));
}

constexpr int zero_unit = 0;
constexpr int line_feed = 10;
constexpr int carriage_return = 13;

// Reads one unit of unit_size bytes; false at the end of the file.
bool read_unit(FileRecord& record, int unit_size, int& unit) {
    std::uint8_t bytes[2] = {0, 0};
    if (buffered_read(record, bytes, unit_size) != unit_size) return false;
    unit = unit_size == 2 ? bytes[0] | (bytes[1] << 8) : bytes[0];
    return true;
}

// How many bytes follow a UTF-8 lead byte; -1 for a byte that cannot start a sequence.
int utf8_bytes_following(int lead) {
    if (lead < 0x80) return 0;
    if ((lead & 0xE0) == 0xC0) return 1;
    if ((lead & 0xF0) == 0xE0) return 2;
    if ((lead & 0xF8) == 0xF0) return 3;
    return -1;
}

}  // namespace

int create_file(int number, const Text& path, std::uint32_t flags) {
    return open_numbered_file(number, path, flags, true);
}

int open_file(int number, const Text& path, std::uint32_t flags) {
    return open_numbered_file(number, path, flags, false);
}

int close_file(int number) {
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    FileTable& files = table();
    if (number >= 0) {
        if (static_cast<std::size_t>(number) >= files.fixed.size()) return 0;
        auto& slot = files.fixed[static_cast<std::size_t>(number)];
        if (!slot) return 0;
        const bool whole = close_record(*slot);
        slot.reset();
        return whole ? 1 : 0;
    }
    auto& list = files.new_number_files;
    auto found = std::find_if(list.begin(), list.end(),
                              [&](const NewNumberFile& file) { return file.number == number; });
    if (found == list.end()) return 0;
    const bool whole = close_record(*found->record);
    list.erase(found);
    return whole ? 1 : 0;
}

void close_all_files_for_good() {
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    table().closed_for_good = true;
    close_all_files();
}

void close_all_files() {
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    FileTable& files = table();
    for (auto& slot : files.fixed) {
        if (!slot) continue;
        close_record(*slot);
        slot.reset();
    }
    auto& list = files.new_number_files;
    while (!list.empty()) {
        close_record(*list.front().record);
        list.erase(list.begin());
    }
}

int seek_file(int number, std::int64_t position) {
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    FileRecord* record = find_record(number);
    if (!record) return 0;
    flush_file(*record);
    record->mode = Mode::read;
    record->count = 0;
    record->filled = 0;
    return file_os::seek(record->handle, position, file_os::Origin::start) ? 1 : 0;
}

std::int64_t file_length(int number) {
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    FileRecord* record = find_record(number);
    if (!record) return -1;
    flush_file(*record);
    return file_os::size(record->handle);
}

Text read_text(int number, int encoding, int limit) {
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    FileRecord* record = find_record(number);
    if (!record) return Text();
    if (encoding == encoding_of_file) encoding = record->encoding;
    const int unit_size = encoding == encoding_utf16le ? 2 : 1;

    std::string bytes;  // codes 2 and 24 (and every other code but 25)
    Text units;         // code 25
    for (int left = limit; left > 0; --left) {
        int unit = 0;
        if (!read_unit(*record, unit_size, unit)) break;
        if (unit == zero_unit || unit == line_feed) break;
        if (unit == carriage_return) {
            int next = 0;
            if (read_unit(*record, unit_size, next) && next != line_feed) push_back(*record, unit_size);
            break;
        }
        if (unit_size == 2) {
            units.push_back(static_cast<char16_t>(unit));
            continue;
        }
        if (encoding != encoding_utf8) {
            bytes.push_back(static_cast<char>(unit));
            continue;
        }
        // One UTF-8 sequence counts as one unit of the limit; its following bytes are taken as
        // they come, and the conversion below judges them.
        const int following = utf8_bytes_following(unit);
        if (following < 0) {
            bytes.push_back('?');
            continue;
        }
        std::uint8_t sequence[3];
        if (buffered_read(*record, sequence, following) != following) break;
        bytes.push_back(static_cast<char>(unit));
        bytes.append(reinterpret_cast<const char*>(sequence), static_cast<std::size_t>(following));
    }

    if (unit_size == 2) return units;
    if (encoding == encoding_utf8) return from_utf8(bytes);
    return from_single_byte(bytes);
}

int write_text_line(int number, const Text& text) {
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    FileRecord* record = find_record(number);
    if (!record) return 0;
    const std::string line = encode_text(text, record->encoding);
    if (!line.empty()) write_bytes(*record, line);
    return static_cast<int>(write_bytes(*record, encode_text(u"\r\n", record->encoding)));
}

int write_byte(int number, std::int32_t value) {
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    FileRecord* record = find_record(number);
    if (!record) return 0;
    const auto byte = static_cast<std::uint8_t>(value & 0xFF);
    return buffered_write(*record, &byte, 1) == 1 ? 1 : 0;
}

std::int64_t read_block(int number, std::uint8_t* destination, std::int64_t count) {
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    FileRecord* record = find_record(number);
    if (!record || !destination || count <= 0) return 0;
    return buffered_read(*record, destination, count);
}

std::int64_t write_block(int number, const std::uint8_t* source, std::int64_t count) {
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    FileRecord* record = find_record(number);
    if (!record || !source || count <= 0) return 0;
    return buffered_write(*record, source, count);
}

std::int64_t operating_system_writes() {
    return system_writes.load();
}

}  // namespace host
