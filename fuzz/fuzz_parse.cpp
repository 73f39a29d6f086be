// Fuzzes one dump file through one module's parser. The first input byte
// chooses the module (from the registry) and the file; the rest is the file.
#include "fuzz_common.h"

using namespace cellscope;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static StatsStore store;
    static const ModelProfile* current = nullptr;
    static bool ready = false;
    if (!ready) {
        fuzzing::quiet_stderr();
        ready = true;
    }
    if (size < 2)
        return 0;
    const ModelProfile& m = fuzzing::module_for(static_cast<uint8_t>(data[0] / 3));
    if (current != &m) {
        fuzzing::reset_store(store, m);
        current = &m;
    }
    const DumpFormat* const files[] = {&m.parse_global, &m.parse_port, &m.parse_pg};
    std::FILE* stream = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "r");
    if (stream == nullptr)
        return 0;
    parse_dump(stream, store, *files[data[0] % 3]);
    std::fclose(stream);
    fuzzing::check_store(store, m);
    return 0;
}
