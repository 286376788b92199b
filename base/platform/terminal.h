// The terminal the client's output goes to, and Ctrl-C.
//
// The command-line client redraws its progress display in place when standard
// output is a terminal and prints plain lines otherwise; long waits (a download
// followed live) end on Ctrl-C, which must end the client cleanly rather than
// kill it mid-line.
#ifndef BASE_PLATFORM_TERMINAL_H_
#define BASE_PLATFORM_TERMINAL_H_

#include <cstdint>

#include "base/result_codes.h"

namespace tobric::platform {

enum class StandardStream { kInput, kOutput, kError };

// Whether the stream is connected to a terminal.
[[nodiscard]] bool IsTerminal(StandardStream stream);

// The width in columns of the terminal the stream is connected to; 0 when it is
// not a terminal or the terminal does not say.
[[nodiscard]] int TerminalColumns(StandardStream stream);
// Its height in rows; 0 likewise.
[[nodiscard]] int TerminalRows(StandardStream stream);

// From this call on, SIGINT (Ctrl-C) no longer ends the process: it is recorded,
// and the waits below see it. Calling it again changes nothing. Any thread.
[[nodiscard]] HRESULT CatchInterrupt();

// Whether an interrupt arrived since CatchInterrupt (or the last
// ClearInterrupt). Any thread, never blocks.
[[nodiscard]] bool InterruptArrived();

// Waits up to timeout_ms for an interrupt; true when one arrived (also when it
// came before the call). Without CatchInterrupt it simply waits. Serves as the
// pause between two redraws of a live display, so that Ctrl-C ends it at once.
[[nodiscard]] bool WaitForInterrupt(uint32_t timeout_ms);

// Forgets the interrupts recorded so far.
void ClearInterrupt();

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_TERMINAL_H_
