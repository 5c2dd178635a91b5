#pragma once

namespace zovir {

// The program's standard streams, as the command-line front end needs them.
enum class StandardStream { Input, Output, Error };

// True when the stream is a terminal (a console window) rather than a file or a pipe: only
// then does the front end draw progress bars or ask questions.
bool IsTerminal(StandardStream stream);

// True when the terminal of `stream` understands the control sequences of colour and cursor
// movement (the front end's progress bars), after asking the system to turn them on where it
// must be asked (a Windows console, which also gets UTF-8 output then). False for a file or a
// pipe, and for a console that refuses them: the front end then writes plain lines there.
bool UnderstandsControlSequences(StandardStream stream);

// Reads one byte of standard input with nothing read ahead, so an answer typed early is not
// swallowed. 1 with `c` set, 0 at the end of input, -1 on failure; a read interrupted by a
// stop request (Ctrl-C) returns -1 at once rather than waiting for a line.
int ReadInputByte(char& c);

}  // namespace zovir
