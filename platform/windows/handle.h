#pragma once
// An owned Win32 file handle, closed when it goes.

#include <windows.h>

#include <utility>

namespace nbz::cli {

class unique_handle {
public:
    unique_handle() = default;
    explicit unique_handle(HANDLE handle) : handle_(handle) {}
    ~unique_handle() { reset(); }
    unique_handle(unique_handle&& other) noexcept : handle_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
    // Closes the handle held, if any; true if that succeeded or there was none.
    bool reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        HANDLE old = std::exchange(handle_, handle);
        return old == INVALID_HANDLE_VALUE || ::CloseHandle(old) != 0;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace nbz::cli
