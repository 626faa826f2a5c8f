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
// when the reply is missing or of no accepted form. The text lives in the
// client's reply buffer until the next reply is read.
const char* get_answer(int descriptor);

// Sends `command` (followed by " <argument>" when argument is 0 or more) on
// the service connection and returns the value text of the reply; the empty
// text where get_answer gives nullptr. Never nullptr.
const char* get_value(const char* command, int argument);

// The framing of one reply, apart from reading it: `reply` holds `length`
// bytes and has room for one more (the terminator). Strips the line end and
// returns the value text inside `reply`, or nullptr for a reply of no
// accepted form.
const char* parse_reply(char* reply, std::size_t length);
