// One progress line on standard error while a large payload is built or unpacked at a terminal:
// how much of it has been read, how many bytes, and how fast. It is drawn as soon as the work
// starts, redrawn in place at most a few times a second, and erased when the work ends (also on the
// abort path) and, through progress_clear, before a message that does not end it, so the screen
// ends with exactly the messages it would hold without it. Where standard error is not a terminal
// nothing is shown.
#pragma once
#include <cstdint>

namespace vardo {

// Payloads smaller than this are built or unpacked too fast for a progress line to be worth
// drawing.
constexpr uint64_t kProgressThreshold = 4u << 20;

// Starts the line for a payload of `total` bytes, when standard error is a terminal and the
// payload is large enough.
void progress_start(uint64_t total);
// Counts `n` more payload bytes read; redraws the line when it is due.
void progress_advance(uint64_t n);
// Erases the line, if one is drawn, before a message on standard error; it is drawn again below
// the message when it is next due.
void progress_clear();
// Erases the line, if one is drawn, and ends the display.
void progress_end();

} // namespace vardo
