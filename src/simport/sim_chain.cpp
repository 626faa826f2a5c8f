// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_chain.h"

#include "port_facts.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr std::uint8_t data_line = 0x01;
constexpr std::uint8_t clock_line = 0x02;
constexpr std::uint8_t latch_line = 0x04;
constexpr std::uint32_t ring_mask = sim_stages - 1;
static_assert((sim_stages & ring_mask) == 0, "the ring needs a power of two");

constexpr std::size_t name_size = 32;
constexpr mode_t shm_mode = 0644; // the daemon drives it, anybody may watch

void shm_name(int port, char (&name)[name_size])
{
    std::snprintf(name, sizeof name, "/quenlyte-sim-0x%x", static_cast<unsigned>(port));
}

void trace(sim_chain* chain, int offset, bool is_write, std::uint8_t value)
{
    sim_access& entry = chain->trace[chain->accesses % sim_trace_size];
    entry.offset = static_cast<std::uint8_t>(offset);
    entry.is_write = is_write ? 1 : 0;
    entry.value = value;
    ++chain->accesses;
}

} // namespace

sim_chain* sim_attach(int port, bool create)
{
    char name[name_size];
    shm_name(port, name);
    const int descriptor = shm_open(name, O_RDWR | (create ? O_CREAT : 0), shm_mode);
    if (descriptor < 0) return nullptr;

    // A new object is empty; zero-filled it is a dark chain with counters 0.
    struct stat status {
    };
    if (fstat(descriptor, &status) != 0 ||
        (status.st_size < static_cast<off_t>(sizeof(sim_chain)) &&
         ftruncate(descriptor, sizeof(sim_chain)) != 0)) {
        const int saved = errno;
        close(descriptor);
        errno = saved;
        return nullptr;
    }
    void* memory =
        mmap(nullptr, sizeof(sim_chain), PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    const int saved = errno;
    close(descriptor);
    errno = saved;
    return memory == MAP_FAILED ? nullptr : static_cast<sim_chain*>(memory);
}

const sim_chain* sim_watch(int port)
{
    char name[name_size];
    shm_name(port, name);
    const int descriptor = shm_open(name, O_RDONLY, 0);
    if (descriptor < 0) return nullptr;
    struct stat status {
    };
    void* memory = MAP_FAILED;
    if (fstat(descriptor, &status) != 0) {
        // errno from fstat
    } else if (status.st_size < static_cast<off_t>(sizeof(sim_chain))) {
        errno = ENOENT; // still being created
    } else {
        memory = mmap(nullptr, sizeof(sim_chain), PROT_READ, MAP_SHARED, descriptor, 0);
    }
    const int saved = errno;
    close(descriptor);
    errno = saved;
    return memory == MAP_FAILED ? nullptr : static_cast<const sim_chain*>(memory);
}

void sim_detach(const sim_chain* chain)
{
    if (chain != nullptr) munmap(const_cast<sim_chain*>(chain), sizeof(sim_chain));
}

int sim_remove(int port)
{
    char name[name_size];
    shm_name(port, name);
    return shm_unlink(name);
}

void sim_reset(sim_chain* chain, std::uint8_t reg)
{
    std::memset(chain, 0, sizeof(sim_chain));
    chain->reg = reg;
}

std::uint8_t sim_read_at(sim_chain* chain, int offset)
{
    if (offset != 0) {
        trace(chain, offset, false, open_bus);
        return open_bus;
    }
    ++chain->reads;
    trace(chain, 0, false, chain->reg);
    return chain->reg;
}

void sim_write_at(sim_chain* chain, int offset, std::uint8_t value)
{
    trace(chain, offset, true, value);
    if (offset != 0) return;
    const std::uint8_t rising = static_cast<std::uint8_t>(value & ~chain->reg);
    chain->reg = value;
    ++chain->writes;
    if ((rising & clock_line) != 0) {
        chain->head = (chain->head - 1) & ring_mask;
        chain->stages[chain->head] = value & data_line;
    }
    if ((rising & latch_line) != 0) {
        const std::uint32_t first = chain->head & ring_mask;
        const std::uint32_t tail = sim_stages - first;
        std::memcpy(chain->outputs, chain->stages + first, tail);
        std::memcpy(chain->outputs + tail, chain->stages, first);
        ++chain->frames;
    }
}

bool sim_output(const sim_chain* chain, int stage)
{
    return stage >= 1 && stage <= sim_stages && chain->outputs[stage - 1] != 0;
}
