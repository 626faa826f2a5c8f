// SPDX-License-Identifier: GPL-2.0-or-later
// An LD_PRELOAD shim that counts heap allocations (malloc, calloc, realloc,
// the aligned ones, and so operator new) of a process and its forks in an
// 8-byte counter file named by QUENLYTE_MALLOC_COUNT_FILE, which a test reads
// while the process runs. Without that variable it only passes calls on.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace
{

std::atomic<std::uint64_t>* counter = nullptr;
std::atomic<int> state{0}; // 0 not yet looked, 1 looking, 2 done

// Maps the counter file on first use; open and mmap allocate nothing.
void count_one()
{
    int expected = 0;
    if (state.compare_exchange_strong(expected, 1)) {
        const char* path = std::getenv("QUENLYTE_MALLOC_COUNT_FILE");
        if (path != nullptr) {
            const int fd = open(path, O_RDWR | O_CLOEXEC);
            if (fd >= 0) {
                void* at =
                    mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                close(fd);
                if (at != MAP_FAILED) counter = static_cast<std::atomic<std::uint64_t>*>(at);
            }
        }
        state = 2;
    }
    if (state == 2 && counter != nullptr) counter->fetch_add(1);
}

} // namespace

extern "C" {

void* malloc(std::size_t size)
{
    count_one();
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size)
{
    count_one();
    return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size)
{
    count_one();
    return __libc_realloc(block, size);
}

void free(void* block)
{
    __libc_free(block);
}

void* memalign(std::size_t alignment, std::size_t size)
{
    count_one();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    count_one();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** block, std::size_t alignment, std::size_t size)
{
    count_one();
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* got = __libc_memalign(alignment, size);
    if (got == nullptr) return ENOMEM;
    *block = got;
    return 0;
}

} // extern "C"
