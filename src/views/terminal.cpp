#include "views/terminal.h"

namespace cellscope {

namespace {

constexpr char kHome[] = "\033[H";
constexpr char kEraseScreen[] = "\033[J";
constexpr char kEraseLine[] = "\033[K";

}  // namespace

void clear_screen(std::FILE* screen)
{
    std::fputs(kHome, screen);
    std::fputs(kEraseScreen, screen);
}

const char* line_erase(bool batch)
{
    return batch ? "" : kEraseLine;
}

void open_frame(std::FILE* screen, bool batch)
{
    if (!batch) {
        std::fputs(kHome, screen);
        std::fputs(kEraseLine, screen);
    }
}

void close_frame(std::FILE* screen, bool batch)
{
    if (!batch)
        std::fputs(kHome, screen);
}

}  // namespace cellscope
