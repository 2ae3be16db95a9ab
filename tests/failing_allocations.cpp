#include "failing_allocations.h"

#include <cstdlib>
#include <new>
#ifdef _WIN32
#include <malloc.h>
#endif

namespace nbz::testing::allocations {
namespace {

// The program's own threads do not allocate while a test arms this, so
// plain variables do.
bool counting = false;
long fail_at = -1;  // none
bool fail_later = false;
std::size_t smallest = 0;
long seen = 0;

void check(std::size_t size) {
    if (!counting || size < smallest) return;
    const long n = seen++;
    if (n == fail_at || (fail_later && fail_at >= 0 && n > fail_at)) throw std::bad_alloc{};
}

void* allocate(std::size_t size) {
    check(size);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc{};
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
    check(size);
    const auto align = static_cast<std::size_t>(alignment);
#ifdef _WIN32
    void* p = _aligned_malloc(size == 0 ? 1 : size, align);
#else
    void* p = std::aligned_alloc(align, (size + align) / align * align);  // a whole number of alignments
#endif
    if (p != nullptr) return p;
    throw std::bad_alloc{};
}

void free_aligned(void* p) noexcept {
#ifdef _WIN32
    _aligned_free(p);
#else
    std::free(p);
#endif
}

}  // namespace

void fail(long n, std::size_t min_bytes, bool then_all) {
    seen = 0;
    fail_at = n;
    fail_later = then_all;
    smallest = min_bytes;
    counting = true;
}

void count() { fail(-1); }

void stop() { counting = false; }

long counted() { return seen; }

}  // namespace nbz::testing::allocations

using nbz::testing::allocations::allocate;
using nbz::testing::allocations::allocate_aligned;
using nbz::testing::allocations::free_aligned;

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t /*size*/) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t /*size*/) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t /*alignment*/) noexcept { free_aligned(p); }
void operator delete[](void* p, std::align_val_t /*alignment*/) noexcept { free_aligned(p); }
void operator delete(void* p, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept { free_aligned(p); }
void operator delete[](void* p, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept { free_aligned(p); }
