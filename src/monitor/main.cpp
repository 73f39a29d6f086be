#include "monitor/startup.h"

int main(int argc, char** argv)
{
    return cellscope::monitor_main(argc, argv);
}
