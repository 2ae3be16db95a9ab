// The real file system on Windows, through wide-character Win32 calls: the
// handle's type and information tell disk files, devices, consoles and file
// identities (volume serial number and file index) apart.
//
// The input is opened for reading only and shared for reading only, so it
// is neither written by the run nor changed by another program under it.

#include <windows.h>

#include <climits>
#include <cstring>
#include <optional>
#include <utility>

#include "handle.h"
#include "nbz/cli/failure.h"
#include "nbz/platform/files.h"
#include "outputs.h"
#include "text.h"

namespace nbz::cli {
namespace {

// The identity of the disk file open as `handle`; nothing for a device, a
// pipe or a console. The 128-bit file ID is unique on every file system, the
// older 64-bit index not on all; it is folded into 64 bits.
std::optional<file_identity> disk_identity(HANDLE handle) {
    FILE_ID_INFO info{};
    if (::GetFileType(handle) != FILE_TYPE_DISK ||
        ::GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info) == 0)
        return std::nullopt;
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::memcpy(&low, info.FileId.Identifier, sizeof low);
    std::memcpy(&high, info.FileId.Identifier + sizeof low, sizeof high);
    return file_identity{info.VolumeSerialNumber, low ^ high * 0x9E3779B97F4A7C15U};
}

bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return ::GetConsoleMode(handle, &mode) != 0;
}

// Throws if the disk file `identity` may not be written at all.
void refuse_reserved(const file_identity& identity, const input_file& input) {
    if (identity == input.identity()) throw failure{failure_code::same_file};
    const std::optional<file_identity> out = disk_identity(::GetStdHandle(STD_OUTPUT_HANDLE));
    // Wine gives no volume for a handle inherited from the host system: the
    // file ID alone then decides, which at worst refuses too much.
    if (out && out->inode == identity.inode && (out->device == identity.device || out->device == 0))
        throw failure{failure_code::same_as_standard_output};
}

// The same for a file that could not be opened for writing: it may be the
// input, or standard output, which this process holds open.
void refuse_reserved_by_name(const std::wstring& path, const input_file& input) {
    const unique_handle file{::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (!file) return;
    if (const auto identity = disk_identity(file.get())) refuse_reserved(*identity, input);
}

// `path` made whole, in the form that lifts the length limit of 260.
std::optional<std::wstring> full_path(const std::wstring& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return std::nullopt;
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return std::nullopt;
    full.resize(length);
    if (full.starts_with(LR"(\\?\)") || full.starts_with(LR"(\\.\)")) return full;
    if (full.starts_with(LR"(\\)")) return LR"(\\?\UNC\)" + full.substr(2);
    return LR"(\\?\)" + full;
}

// The path of the file open as `handle`, its links followed, so that the file
// is replaced rather than a link to it.
std::optional<std::wstring> final_path(HANDLE handle) {
    const DWORD needed = ::GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (needed == 0) return std::nullopt;
    std::wstring path(needed, L'\0');
    const DWORD length =
        ::GetFinalPathNameByHandleW(handle, path.data(), needed, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= needed) return std::nullopt;
    path.resize(length);
    return path;
}

class windows_input final : public input_file {
public:
    windows_input(unique_handle file, std::uint64_t size, file_identity identity)
        : file_(std::move(file)), size_(size), identity_(identity) {}

    std::uint64_t size() const override { return size_; }
    file_identity identity() const override { return identity_; }

    std::size_t read(std::span<std::byte> buffer) override {
        const auto size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), std::size_t{1} << 30));
        DWORD got = 0;
        if (::ReadFile(file_.get(), buffer.data(), size, &got, nullptr) == 0) throw failure{failure_code::read_failed};
        return got;
    }

    void seek(std::uint64_t position) override {
        LARGE_INTEGER distance{};
        distance.QuadPart = static_cast<LONGLONG>(position);
        if (position > LLONG_MAX || ::SetFilePointerEx(file_.get(), distance, nullptr, FILE_BEGIN) == 0)
            throw failure{failure_code::read_failed};
    }

private:
    unique_handle file_;
    std::uint64_t size_;
    file_identity identity_;
};

// An output whose name is free: the name is tried first, so that one the
// folder does not take is refused before any work.
std::unique_ptr<output_file> open_new(const std::wstring& path) {
    const std::optional<std::wstring> target = full_path(path);
    if (!target) throw failure{failure_code::open_output_failed};
    unique_handle trial{::CreateFileW(target->c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr)};
    if (!trial || !trial.reset()) throw failure{failure_code::open_output_failed};
    if (auto output = start_replacement(*target)) return output;
    return start_staged(*target, unique_handle{});
}

class windows_file_system final : public file_system {
public:
    std::unique_ptr<input_file> open_input(const std::string& path) override {
        const std::optional<std::wstring> wide = wide_from_utf8(path);
        if (!wide) throw failure{failure_code::open_input_failed};
        // Backup semantics let a folder be opened, to be refused as such.
        unique_handle file{::CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
        if (!file) throw failure{failure_code::open_input_failed};
        if (::GetFileType(file.get()) != FILE_TYPE_DISK) throw failure{failure_code::input_not_regular};
        FILE_STANDARD_INFO info{};
        if (::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &info, sizeof info) == 0)
            throw failure{failure_code::open_input_failed};
        if (info.Directory) throw failure{failure_code::input_not_regular};
        const auto identity = disk_identity(file.get());
        if (!identity) throw failure{failure_code::open_input_failed};
        return std::make_unique<windows_input>(std::move(file), static_cast<std::uint64_t>(info.EndOfFile.QuadPart),
                                               *identity);
    }

    std::unique_ptr<output_file> open_output(const std::string& path, const input_file& input) override {
        const std::optional<std::wstring> wide = wide_from_utf8(path);
        if (!wide) throw failure{failure_code::open_output_failed};
        // Opened without truncation, and refused while another program has
        // it open for writing or against being replaced (a sharing
        // violation), before any work. Where only deletion is denied, the
        // stream can still be copied in at the end. Kept open while the run
        // lasts only then.
        const auto open = [&](DWORD access) {
            return unique_handle{::CreateFileW(wide->c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr)};
        };
        unique_handle file = open(GENERIC_WRITE | DELETE);
        const bool replaceable = static_cast<bool>(file) || ::GetLastError() != ERROR_ACCESS_DENIED;
        if (!replaceable) file = open(GENERIC_WRITE);
        if (!file) {
            if (::GetLastError() == ERROR_FILE_NOT_FOUND) return open_new(*wide);
            refuse_reserved_by_name(*wide, input);
            throw failure{failure_code::open_output_failed};
        }
        switch (::GetFileType(file.get())) {
            case FILE_TYPE_DISK:
                break;
            case FILE_TYPE_CHAR: {
                // A console is shared with the report; NUL is shared
                // harmlessly. Only a handle that may read has a console mode
                // (for CON, reading opens its input side).
                const unique_handle readable{::CreateFileW(wide->c_str(), GENERIC_READ,
                                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                           FILE_ATTRIBUTE_NORMAL, nullptr)};
                if ((is_console(file.get()) || (readable && is_console(readable.get()))) &&
                    is_console(::GetStdHandle(STD_OUTPUT_HANDLE)))
                    throw failure{failure_code::same_as_standard_output};
                return device_output(std::move(file));
            }
            default:
                return device_output(std::move(file));
        }
        const std::optional<file_identity> identity = disk_identity(file.get());
        if (!identity) throw failure{failure_code::open_output_failed};
        refuse_reserved(*identity, input);
        // Refused even where the open was let through (an administrator), as
        // the move over it would be.
        FILE_BASIC_INFO basic{};
        if (::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic) == 0 ||
            (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
            throw failure{failure_code::open_output_failed};
        const std::optional<std::wstring> target = final_path(file.get());
        if (!target) throw failure{failure_code::open_output_failed};
        if (replaceable) {
            if (auto output = start_replacement(*target)) return output;
        }
        return start_staged(*target, std::move(file));
    }
};

}  // namespace

file_system& system_files() {
    static windows_file_system files;
    return files;
}

}  // namespace nbz::cli
