// SPDX-License-Identifier: GPL-2.0-or-later
// The machine that `quenlyte-sim run` shows the traced program: parallel
// ports on the simulated chains, the I/O permission of each task (thread),
// the files that list the ports, and the ppdev devices with their claims.
// It decides every answer; run.cpp carries them between it and the program.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

constexpr int max_presented_ports = 16; // /dev/parport0 to 15, ppdev's limit

// Presents a parallel port at each of `bases`, as /dev/parport0, 1, ... in
// that order, and writes the files that list them into a private directory.
// With `refuse`, every grant fails as it does for an unprivileged user.
// False, with the reason, when the directory cannot be made.
bool machine_start(const std::vector<unsigned>& bases, bool refuse, std::string& why);

// Removes the private directory and lets go of the simulated ports.
void machine_end();

// A new task with the I/O permission of `parent` (0: none), as the kernel
// copies it on every clone.
void task_started(pid_t tid, pid_t parent);
// A thread other than the leader ran execve and now has the leader's id;
// its permission goes with it.
void task_renamed(pid_t from, pid_t to);
void task_ended(pid_t tid);
// A process has ended: its ppdev claims are released.
void process_ended(pid_t tgid);

// ioperm and iopl as the kernel answers them: 0 or a negative errno.
long answer_ioperm(pid_t tid, unsigned long from, unsigned long num, unsigned long turn_on);
long answer_iopl(pid_t tid, unsigned long level);

// True when the task may use port `address` (by ioperm or iopl 3).
bool port_held(pid_t tid, unsigned address);
// One byte-wide access: on a simulated port when the address lies in one,
// otherwise nothing answers (reads give 0xFF, writes are lost).
std::uint8_t port_read(unsigned address);
void port_write(unsigned address, std::uint8_t value);

// What becomes of opening `path` (as the program wrote it).
struct open_answer {
    int error = 0;       // above 0: the open fails with this errno
    std::string instead; // not empty: open this path instead
};
open_answer answer_open(const std::string& path);

// The number N of the port whose /dev/parportN is the file (device, inode),
// or -1 when it is no emulated device.
int device_port(dev_t device, ino_t inode);

// A ppdev ioctl by process `tgid` on /dev/parport`port`: 0 or a negative
// errno. `data` is the byte that PPWDATA writes, and receives the byte that
// PPRDATA reads. An unknown request is reported and fails with EINVAL.
long answer_ppdev(pid_t tgid, int port, unsigned long request, std::uint8_t& data);
