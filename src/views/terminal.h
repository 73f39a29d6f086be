// The terminal control the monitor uses, all of it: the ECMA-48 sequences
// cursor home, erase to end of screen and erase to end of line.
#pragma once

#include <cstdio>

namespace cellscope {

// Cursor home, then erase to the end of the screen.
void clear_screen(std::FILE* screen);

// Text a view writes into its content where a line is to be cleared: erase
// to end of line interactively, nothing in batch mode.
const char* line_erase(bool batch);

// The frame of every view, on the screen stream and only interactively:
// cursor home and erase the first line before the content, cursor home
// after it (left unflushed, so it reaches the terminal with the next view).
void open_frame(std::FILE* screen, bool batch);
void close_frame(std::FILE* screen, bool batch);

}  // namespace cellscope
