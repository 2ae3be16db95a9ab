// A regular output is written under a temporary name beside it and moved over
// its name only once flushed, so the name holds either the earlier file or the
// whole new stream. Where the folder takes no new file, the stream is staged
// in the temporary folder and copied in at the end: the earlier contents are
// then lost only if that copy fails, and the output is emptied.

#include "outputs.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <utility>

#include "interrupts.h"
#include "nbz/cli/failure.h"

namespace nbz::cli {
namespace {

// Marks a temporary output as an unfinished stream of these commands, should a
// crash leave it behind.
constexpr std::wstring_view unfinished_marker = L".nbz-unfinished-";

void write_all(HANDLE handle, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), std::size_t{1} << 30));
        DWORD written = 0;
        if (::WriteFile(handle, bytes.data(), size, &written, nullptr) == 0 || written == 0)
            throw failure{failure_code::write_failed};
        bytes = bytes.subspan(written);
    }
}

bool seek_handle(HANDLE handle, std::uint64_t position) {
    LARGE_INTEGER distance{};
    distance.QuadPart = static_cast<LONGLONG>(position);
    return position <= LLONG_MAX && ::SetFilePointerEx(handle, distance, nullptr, FILE_BEGIN) != 0;
}

// Six characters that differ between the names tried by this process and,
// almost surely, from those of other processes.
std::wstring unique_suffix() {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = ::GetTickCount64() ^ (std::uint64_t{::GetCurrentProcessId()} << 32) ^
                      (counter.fetch_add(1) * 0x9E3779B97F4A7C15U);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9U;
    x ^= x >> 29;
    constexpr std::wstring_view alphabet = L"abcdefghijklmnopqrstuvwxyz0123456789";
    std::wstring suffix;
    for (int i = 0; i < 6; ++i, x /= alphabet.size()) suffix += alphabet[x % alphabet.size()];
    return suffix;
}

// Creates a new file named `prefix` and a unique suffix; gives its handle and
// sets `path`, or nothing if none can be created.
unique_handle create_unique(const std::wstring& prefix, DWORD access, DWORD share, DWORD flags, std::wstring& path) {
    constexpr int attempts = 100;
    for (int i = 0; i < attempts; ++i) {
        path = prefix;
        path += unique_suffix();
        unique_handle file{::CreateFileW(path.c_str(), access, share, nullptr, CREATE_NEW, flags, nullptr)};
        if (file) return file;
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    return unique_handle{};
}

class device_file final : public output_file {
public:
    explicit device_file(unique_handle handle) : handle_(std::move(handle)) {}
    void write(std::span<const std::byte> bytes) override { write_all(handle_.get(), bytes); }
    void seek(std::uint64_t position) override {
        if (!seek_handle(handle_.get(), position)) throw failure{failure_code::output_not_seekable};
    }
    void close() override {
        if (!handle_.reset()) throw failure{failure_code::write_failed};
    }
    void discard() noexcept override { handle_.reset(); }

private:
    unique_handle handle_;
};

// A new file under a temporary name that becomes the output's on close().
class replacing_output final : public output_file {
public:
    // Called with the console's events held, so the file is armed as soon as
    // it exists.
    replacing_output(unique_handle file, std::wstring temporary, std::wstring target)
        : file_(std::move(file)), temporary_(std::move(temporary)), target_(std::move(target)) {
        arm_console_cleanup(temporary_);
    }
    ~replacing_output() override { discard(); }
    replacing_output(const replacing_output&) = delete;
    replacing_output& operator=(const replacing_output&) = delete;

    void write(std::span<const std::byte> bytes) override { write_all(file_.get(), bytes); }
    void seek(std::uint64_t position) override {
        if (!seek_handle(file_.get(), position)) throw failure{failure_code::write_failed};
    }

    void close() override {
        // The data reaches the disk before the name does. Until the move has
        // succeeded the output stays pending, for discard() to remove.
        if (::FlushFileBuffers(file_.get()) == 0 || !file_.reset()) throw failure{failure_code::write_failed};
        const console_events_held held;
        if (::MoveFileExW(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0)
            throw failure{failure_code::write_failed};
        complete_ = true;
        disarm_console_cleanup();
        commit_console_output();
    }

    void discard() noexcept override {
        if (complete_) return;
        complete_ = true;
        file_.reset();  // closed first, so that the file goes at once
        const console_events_held held;
        ::DeleteFileW(temporary_.c_str());
        disarm_console_cleanup();
    }

private:
    unique_handle file_;
    std::wstring temporary_;
    std::wstring target_;
    bool complete_ = false;
};

// Copies the whole of `from` into `to` from their starts, leaving `to` just
// that long and flushed to the disk. False on any failure.
bool copy_whole(HANDLE from, HANDLE to) {
    if (!seek_handle(from, 0) || !seek_handle(to, 0)) return false;
    std::array<std::byte, std::size_t{1} << 16> buffer{};
    for (;;) {
        DWORD got = 0;
        if (::ReadFile(from, buffer.data(), buffer.size(), &got, nullptr) == 0) return false;
        if (got == 0) break;
        try {
            write_all(to, std::span{buffer}.first(got));
        } catch (const failure&) {
            return false;
        }
    }
    return ::SetEndOfFile(to) != 0 && ::FlushFileBuffers(to) != 0;
}

class staged_output final : public output_file {
public:
    staged_output(unique_handle staging, std::wstring target, unique_handle existing)
        : staging_(std::move(staging)), target_(std::move(target)), existing_(std::move(existing)) {
        const console_events_held held;
        arm_console_cleanup(std::wstring{});
    }

    void write(std::span<const std::byte> bytes) override { write_all(staging_.get(), bytes); }
    void seek(std::uint64_t position) override {
        if (!seek_handle(staging_.get(), position)) throw failure{failure_code::write_failed};
    }

    void close() override {
        // Not interrupted halfway: the copy is the only time the output holds
        // part of a stream. From its start the run goes on to report how it
        // went. Another run cannot copy into the file meanwhile: the file is
        // held open against other writers from the start of the run.
        const console_events_held held;
        commit_console_output();
        const bool created = !existing_;
        unique_handle out = created ? unique_handle{::CreateFileW(target_.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)}
                                    : std::move(existing_);
        if (!out) throw failure{failure_code::write_failed};
        if (!copy_whole(staging_.get(), out.get())) {
            // Whatever came through is not left to pass for a whole stream.
            if (created) {
                out.reset();
                ::DeleteFileW(target_.c_str());
            } else if (seek_handle(out.get(), 0)) {
                ::SetEndOfFile(out.get());
            }
            throw failure{created ? failure_code::write_failed : failure_code::final_copy_failed};
        }
        if (!out.reset()) throw failure{failure_code::write_failed};
        staging_.reset();
    }

    // The staging file goes when its handle closes; the target was not written.
    void discard() noexcept override {
        staging_.reset();
        existing_.reset();
    }

private:
    unique_handle staging_;  // removed by the system when closed
    std::wstring target_;
    unique_handle existing_;
};

}  // namespace

std::unique_ptr<output_file> device_output(unique_handle handle) {
    return std::make_unique<device_file>(std::move(handle));
}

std::unique_ptr<output_file> start_replacement(const std::wstring& target) {
    const std::size_t slash = target.find_last_of(L'\\') + 1;  // 0 when there is none
    std::wstring name = target.substr(slash);
    if (name.empty()) return nullptr;
    // Short enough that the temporary name fits the 255 characters a name
    // may have, and not cut inside a surrogate pair.
    constexpr std::size_t longest_kept = 200;
    if (name.size() > longest_kept)
        name.resize(IS_HIGH_SURROGATE(name[longest_kept - 1]) ? longest_kept - 1 : longest_kept);
    const std::wstring prefix = target.substr(0, slash) + L"." + name + std::wstring{unfinished_marker};
    const console_events_held held;
    std::wstring temporary;
    // Shared for deletion, so that the console's handler can remove it while
    // it is open.
    unique_handle file = create_unique(prefix, GENERIC_WRITE, FILE_SHARE_DELETE, FILE_ATTRIBUTE_NORMAL, temporary);
    if (!file) return nullptr;
    try {
        return std::make_unique<replacing_output>(std::move(file), temporary, target);
    } catch (...) {
        // Out of memory before the output owned the new file: it goes.
        file.reset();
        ::DeleteFileW(temporary.c_str());
        throw;
    }
}

std::unique_ptr<output_file> start_staged(const std::wstring& target, unique_handle existing) {
    std::wstring folder(MAX_PATH + 1, L'\0');
    const DWORD length = ::GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
    if (length == 0 || length > folder.size()) throw failure{failure_code::open_output_failed};
    folder.resize(length);
    std::wstring staging_path;
    unique_handle staging = create_unique(folder + L"nbz-unfinished-", GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                          FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, staging_path);
    if (!staging) throw failure{failure_code::open_output_failed};
    return std::make_unique<staged_output>(std::move(staging), target, std::move(existing));
}

}  // namespace nbz::cli
