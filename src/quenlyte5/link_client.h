// SPDX-License-Identifier: GPL-2.0-or-later
// The connection to the link-control service: one TCP connection for the life
// of the process, one command line out and one reply in per exchange.
#pragma once

#include <cstddef>

// Connects to the service at `host` (a dotted IPv4 address or a host name)
// and `port`, and keeps the connection for get_value. Returns the descriptor,
// or -1 after a failure whose message has been reported.
int service_connect(const char* host, int port);

// Writes `command` followed by CR LF in a single write; errors are ignored.
void send_command(int descriptor, const char* command);

// Reads one reply from `descriptor` and returns its value text, or nullptr
// when the reply is missing, longer than the reply buffer or of no accepted
// form. The text lives in the client's reply buffer until the next reply is
// read. A reply that arrives whole costs a single read(); see frame_reply for
// one that arrives in pieces.
const char* get_answer(int descriptor);

// Sends `command` (followed by " <argument>" when argument is 0 or more) on
// the service connection and returns the value text of the reply; the empty
// text where get_answer gives nullptr. Never nullptr.
const char* get_value(const char* command, int argument);

// Where frame_reply takes its bytes from. `first` is set for the first read
// of a reply, which may wait as long as a read on the connection does; later
// reads share one short time budget per reply. Returns the count of bytes
// put into `into` (1 to `room`), 0 at the end of the stream, or -1 when
// nothing came in time, the wait was interrupted or the read failed.
using reply_source = long (*)(void* context, char* into, std::size_t room, bool first);

// Frames one reply from `source` into `buffer`, which holds `size` bytes and
// one more for the terminator, and returns parse_reply's value of it:
// - pieces are joined while what has arrived does not end in a line end (LF
//   or CR) and a later read still gives bytes; then what arrived counts;
// - a reply that fills the buffer without a line end and goes on is drained
//   to a read that ends in a line end (within the same budget) and gives
//   nullptr, so that its tail is not taken for the next reply;
// - `after_cr` carries from one reply to the next: when a reply ended in CR,
//   an LF at the start of the next is that line end's second byte and is
//   dropped.
const char* frame_reply(char* buffer, std::size_t size, reply_source source, void* context,
                        bool& after_cr);

// The framing of one reply, apart from reading it: `reply` holds `length`
// bytes and has room for one more (the terminator). Strips the line end and
// returns the value text inside `reply`, or nullptr for a reply of no
// accepted form.
const char* parse_reply(char* reply, std::size_t length);
