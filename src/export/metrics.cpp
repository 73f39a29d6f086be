#include "export/metrics.h"

namespace cellscope {

namespace {

void header(std::FILE* out, const char* name, const char* type, const char* help)
{
    std::fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// A label value between its double quotes: backslash, double quote and line
// feed escaped, as the text format asks.
void label_value(std::FILE* out, const char* text)
{
    std::fputc('"', out);
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '"')
            std::fputc('\\', out), std::fputc(*c, out);
        else if (*c == '\n')
            std::fputs("\\n", out);
        else
            std::fputc(*c, out);
    }
    std::fputc('"', out);
}

// A per-port metric: one sample per shown slot and group the module reports.
struct PortMetric {
    const char* name;
    const char* type;
    const char* help;
    Field field;
    const char* group_label;  // "pg", "queue", or nullptr
};

constexpr PortMetric kPortMetrics[] = {
    {"cellscope_port_shared_cells", "gauge", "Shared buffer use of the port in cells, the peak within the latest dump.",
     Field::PortShared, nullptr},
    {"cellscope_pg_shared_cells", "gauge",
     "Shared buffer use of an ingress priority group in cells, the peak within the latest dump.", Field::PgShared,
     "pg"},
    {"cellscope_queue_shared_cells", "gauge",
     "Shared buffer use of an egress queue in cells, the peak within the latest dump.", Field::QueueShared, "queue"},
    {"cellscope_receive_packets_total", "counter", "Packets received by the port.", Field::Rxpp, nullptr},
    {"cellscope_transmit_packets_total", "counter", "Packets transmitted by the port.", Field::Txpp, nullptr},
    {"cellscope_ingress_dropped_packets_total", "counter", "Packets dropped on ingress at the port.", Field::IbpDrop,
     nullptr},
    {"cellscope_queue_dropped_packets_total", "counter", "Packets dropped at an egress queue of the port.",
     Field::HolDrop, "queue"},
};

unsigned long long value_of(const PortStats& port, Field field, int group)
{
    switch (field) {
    case Field::PgShared:
        return port.pg_shared[group].current;
    case Field::QueueShared:
        return port.queue_shared[group].current;
    case Field::Rxpp:
        return port.rxpp;
    case Field::Txpp:
        return port.txpp;
    case Field::IbpDrop:
        return port.ibp_drop;
    case Field::HolDrop:
        return port.hol_drop[group];
    default:
        return port.port_shared.current;
    }
}

}  // namespace

void write_metrics(std::FILE* out, const StatsStore& store, const ModelProfile* profile, bool up,
                   double dump_timestamp)
{
    header(out, "cellscope_up", "gauge", "Whether a complete dump of the switch buffer could be read.");
    std::fprintf(out, "cellscope_up %d\n", up && profile != nullptr ? 1 : 0);
    header(out, "cellscope_build_info", "gauge", "Always 1: the version of cellscope-export.");
    std::fputs("cellscope_build_info{version=", out);
    label_value(out, kVersion);
    std::fputs("} 1\n", out);
    if (profile == nullptr)
        return;
    const ModelProfile& m = *profile;
    header(out, "cellscope_module_info", "gauge",
           "Always 1: the switch module, by its device-tree model string and port count.");
    std::fputs("cellscope_module_info{model=", out);
    label_value(out, m.model);
    std::fprintf(out, ",ports=\"%d\"} 1\n", static_cast<int>(m.port_count));
    header(out, "cellscope_buffer_cells", "gauge", "Size of the shared packet buffer in cells.");
    std::fprintf(out, "cellscope_buffer_cells %u\n", static_cast<unsigned>(m.cell_scale));
    if (!up)
        return;
    header(out, "cellscope_dump_timestamp_seconds", "gauge",
           "Unix time at which the dump behind these figures was complete.");
    std::fprintf(out, "cellscope_dump_timestamp_seconds %.3f\n", dump_timestamp);
    header(out, "cellscope_shared_cells", "gauge",
           "Switch-wide shared buffer count in cells, the peak within the latest dump.");
    std::fprintf(out, "cellscope_shared_cells %u\n", static_cast<unsigned>(store.sw.total_shared.current));
    header(out, "cellscope_shared_limit_cells", "gauge", "Switch-wide shared buffer limit in cells.");
    std::fprintf(out, "cellscope_shared_limit_cells %u\n", static_cast<unsigned>(store.sw.shared_limit.sample));

    for (const PortMetric& metric : kPortMetrics) {
        const int groups = group_count(metric.field);
        bool headed = false;
        for (int32_t slot = 0; slot < m.port_count; ++slot) {
            const PortStats& port = store.ports[slot];
            for (int k = 0; k < groups; ++k) {
                if (!module_reports(m, metric.field, slot, k))
                    continue;
                if (!headed)
                    header(out, metric.name, metric.type, metric.help);
                headed = true;
                std::fprintf(out, "%s{port=", metric.name);
                label_value(out, port.name);
                std::fputs(",panel=", out);
                label_value(out, m.port_labels[static_cast<size_t>(slot)]);
                if (metric.group_label != nullptr)
                    std::fprintf(out, ",%s=\"%d\"", metric.group_label, k);
                std::fprintf(out, "} %llu\n", value_of(port, metric.field, k));
            }
        }
    }
}

}  // namespace cellscope
