// A heap allocation counter for the benchmark, loaded into the daemon with
// LD_PRELOAD. Every allocation call is counted and handed on to glibc's own
// allocator. The counts live in a shared file named by the environment
// variable QUENLYTE_BENCH_MALLOC_COUNTS (made by the benchmark), so that the
// benchmark reads them while the daemon runs, across its fork as well.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* old, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* memory);
}

namespace
{

std::atomic<unsigned long long> before_mapped{0};  // calls before the counts were mapped
std::atomic<unsigned long long>* counts = nullptr; // the shared count of calls

void count_one()
{
    if (counts != nullptr)
        counts->fetch_add(1, std::memory_order_relaxed);
    else
        before_mapped.fetch_add(1, std::memory_order_relaxed);
}

__attribute__((constructor)) void map_counts()
{
    const char* path = std::getenv("QUENLYTE_BENCH_MALLOC_COUNTS");
    if (path == nullptr) return;
    const int descriptor = open(path, O_RDWR | O_CLOEXEC);
    if (descriptor < 0) return;
    void* page = mmap(nullptr, sizeof(*counts), PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    close(descriptor);
    if (page == MAP_FAILED) return;
    counts = static_cast<std::atomic<unsigned long long>*>(page);
    counts->fetch_add(before_mapped.load(), std::memory_order_relaxed);
}

} // namespace

extern "C" void* malloc(std::size_t size) noexcept
{
    count_one();
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) noexcept
{
    count_one();
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* old, std::size_t size) noexcept
{
    count_one();
    return __libc_realloc(old, size);
}

extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept
{
    count_one();
    return __libc_memalign(alignment, size);
}

extern "C" void* memalign(std::size_t alignment, std::size_t size) noexcept
{
    count_one();
    return __libc_memalign(alignment, size);
}

extern "C" int posix_memalign(void** memory, std::size_t alignment, std::size_t size) noexcept
{
    count_one();
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* got = __libc_memalign(alignment, size);
    if (got == nullptr) return ENOMEM;
    *memory = got;
    return 0;
}

extern "C" void free(void* memory) noexcept
{
    __libc_free(memory);
}
