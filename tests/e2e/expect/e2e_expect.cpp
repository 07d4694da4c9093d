// e2e_expect: what each tally display must show for a given receiver state.
//
// Reads a JSON state (the summary tallysim writes, or tallydump --json: both
// carry "records", "names" and "counters") and prints the rows and counters of
// one display in the line format the end-to-end scripts compare against
// qvprobe's dialog dump:
//   rows<TAB>ID<TAB>count=N          a list box and its row count
//   row<TAB>ID<TAB>INDEX<TAB>"TEXT"   one list row
//   val<TAB>ID<TAB>"TEXT"            an edit field (counter)
//
// Usage: e2e_expect STATE.json me|ext RECORD(1-based) | ss | out | names
//        e2e_expect STATE.json counters     (the 24 counters as "stray N", "0x81 N", ...)
//        e2e_expect STATE.json check-coverage
// check-coverage exits 1 unless the state's summary shows every message type
// and every fault kind at least once (for the recorded-stream test).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "displays/rows.h"
#include "resources/resource.h"
#include "tally/store.h"

namespace {

using nlohmann::json;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "e2e_expect: %s\n", what.c_str());
    std::exit(2);
}

// Hex text of a record (header bytes included) into its bytes.
void FromHex(const std::string& hex, uint8_t* out, size_t size) {
    if (hex.size() != 2 * size) Die("record of " + std::to_string(hex.size() / 2) + " bytes, expected " +
                                    std::to_string(size));
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(std::strtoul(hex.substr(2 * i, 2).c_str(), nullptr, 16));
    }
}

uint32_t U32(const json& v) { return static_cast<uint32_t>(v.get<uint64_t>()); }

void ReadCounters(const json& c, TallyCounterValues& out) {
    out.strayByteCount = U32(c.at("strayByteCount"));
    out.unknownTypeCount = U32(c.at("unknownTypeCount"));
    out.headerMismatchCount = U32(c.at("headerMismatchCount"));
    out.headerLowByteCount = U32(c.at("headerLowByteCount"));
    out.payloadErrorCount = U32(c.at("payloadErrorCount"));
    for (int i = 0; i < ME_RECORDS; ++i) out.meCount[i] = U32(c.at("meCount").at(i));
    for (int i = 0; i < EXT_RECORDS; ++i) out.extCount[i] = U32(c.at("extCount").at(i));
    out.ssCount = U32(c.at("ssCount"));
    for (int i = 0; i < OUT_RECORDS; ++i) out.outCount[i] = U32(c.at("outCount").at(i));
}

// The same escaping as qvprobe's dump, so lines compare as text.
std::string Quote(const char* s) {
    std::string out = "\"";
    for (; *s; ++s) {
        switch (*s) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += *s;
        }
    }
    return out + "\"";
}

void List(int id, const DisplayRow* rows, int count) {
    std::printf("rows\t%d\tcount=%d\n", id, count);
    for (int i = 0; i < count; ++i) std::printf("row\t%d\t%d\t%s\n", id, i, Quote(rows[i]).c_str());
}

void Value(int id, const char* text) { std::printf("val\t%d\t%s\n", id, Quote(text).c_str()); }

int CheckCoverage(const json& state) {
    int missing = 0;
    const json& messages = state.at("messages");
    for (auto it = messages.begin(); it != messages.end(); ++it) {
        if (it.value().get<uint64_t>() == 0) {
            std::printf("message type %s never sent\n", it.key().c_str());
            ++missing;
        }
    }
    const json& faults = state.at("faults");
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it.value().get<uint64_t>() == 0) {
            std::printf("fault kind %s never injected\n", it.key().c_str());
            ++missing;
        }
    }
    if (messages.size() < 22 || faults.size() < 6) {
        std::printf("summary lists %zu message types and %zu fault kinds\n", messages.size(), faults.size());
        ++missing;
    }
    return missing == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) Die("usage: e2e_expect STATE.json me|ext RECORD | ss | out | names | counters | check-coverage");
    std::ifstream in(argv[1]);
    if (!in) Die(std::string("cannot read ") + argv[1]);
    json state;
    try {
        in >> state;
    } catch (const std::exception& e) {
        Die(std::string("bad JSON: ") + e.what());
    }
    const std::string view = argv[2];
    if (view == "check-coverage") return CheckCoverage(state);

    TallyCounterValues counters{};
    ReadCounters(state.at("counters"), counters);
    if (view == "counters") {
        // One line per counter, named as the history log's events and types.
        std::printf("stray %u\nunknown %u\nmismatch %u\nlowbyte %u\npayload %u\n", counters.strayByteCount,
                    counters.unknownTypeCount, counters.headerMismatchCount, counters.headerLowByteCount,
                    counters.payloadErrorCount);
        for (int i = 0; i < ME_RECORDS; ++i) std::printf("0x%02x %u\n", 0x81 + i, counters.meCount[i]);
        for (int i = 0; i < EXT_RECORDS; ++i) std::printf("0x%02x %u\n", 0x91 + i, counters.extCount[i]);
        std::printf("0xa1 %u\n", counters.ssCount);
        for (int i = 0; i < OUT_RECORDS; ++i) std::printf("0x%02x %u\n", 0xB1 + i, counters.outCount[i]);
        return 0;
    }
    const json& records = state.at("records");

    if (view == "me" || view == "ext") {
        if (argc < 4) Die("which record?");
        const int record = std::atoi(argv[3]) - 1;
        if (view == "me") {
            if (record < 0 || record >= ME_RECORDS) Die("ME record 1-4");
            MeTally me{};
            FromHex(records.at("me").at(record).get<std::string>(), reinterpret_cast<uint8_t*>(&me), sizeof me);
            MeDisplayText text{};
            MeDisplayFormat(me, counters, text);
            List(IDC_SOURCES_LIST, text.sources, ME_SOURCE_ROWS);
            List(IDC_CONTRIB_LIST, text.contribution, ME_CONTRIBUTION_ROWS);
            List(IDC_MODE_LIST, &text.keyer, 1);
            static const int ids[ME_COUNTER_FIELDS] = {IDC_ME1_COUNT,      IDC_ME2_COUNT,     IDC_ME3_COUNT,
                                                       IDC_ME4_COUNT,      IDC_STRAY_COUNT,   IDC_UNKNOWN_COUNT,
                                                       IDC_MISMATCH_COUNT, IDC_LOWBYTE_COUNT, IDC_PAYLOAD_COUNT};
            for (int i = 0; i < ME_COUNTER_FIELDS; ++i) Value(ids[i], text.counters[i]);
        } else {
            if (record < 0 || record >= EXT_RECORDS) Die("EXT record 1-8");
            ExtTally ext{};
            FromHex(records.at("ext").at(record).get<std::string>(), reinterpret_cast<uint8_t*>(&ext), sizeof ext);
            ExtDisplayText text{};
            ExtDisplayFormat(ext, counters, text);
            List(IDC_SOURCES_LIST, text.sources, EXT_SOURCE_ROWS);
            List(IDC_CONTRIB_LIST, text.contribution, EXT_CONTRIBUTION_ROWS);
            List(IDC_MODE_LIST, &text.inputMode, 1);
            for (int i = 0; i < EXT_RECORDS; ++i) Value(IDC_EXT1_COUNT + i, text.counters[i]);
        }
    } else if (view == "ss") {
        StillStoreTally ss{};
        FromHex(records.at("ss").get<std::string>(), reinterpret_cast<uint8_t*>(&ss), sizeof ss);
        SsDisplayText text{};
        SsDisplayFormat(ss, counters, text);
        List(IDC_SOURCES_LIST, text.sources, 2);
        List(IDC_MODE_LIST, &text.mode, 1);
        Value(IDC_SS_COUNT, text.count);
    } else if (view == "out") {
        OutputTally out[OUT_RECORDS] = {};
        for (int r = 0; r < OUT_RECORDS; ++r) {
            FromHex(records.at("out").at(r).get<std::string>(), reinterpret_cast<uint8_t*>(&out[r]), sizeof out[r]);
        }
        OutDisplayText text{};
        OutDisplayFormat(out, counters, text);
        static const int lists[OUT_GROUPS][3] = {{IDC_OUT1_SOURCE, IDC_OUT1_MODE, IDC_OUT1_ONAIR},
                                                 {IDC_OUT2_SOURCE, IDC_OUT2_MODE, IDC_OUT2_ONAIR},
                                                 {IDC_OUT3_SOURCE, IDC_OUT3_MODE, IDC_OUT3_ONAIR}};
        for (int g = 0; g < OUT_GROUPS; ++g) {
            List(lists[g][0], text.source[g], OUT_GROUP_ROWS);
            List(lists[g][1], text.mode[g], OUT_GROUP_ROWS);
            List(lists[g][2], text.onAir[g], OUT_GROUP_ROWS);
        }
        static const int counterIds[OUT_RECORDS] = {IDC_OUT_COUNT1, 1032, 1033, 1034, 1035, 1036};
        for (int r = 0; r < OUT_RECORDS; ++r) Value(counterIds[r], text.counters[r]);
    } else if (view == "names") {
        const json& names = state.at("names");
        DisplayRow rows[SOURCE_COUNT];
        for (int n = 1; n <= SOURCE_COUNT; ++n) {
            uint8_t raw[sizeof(SourceNameEntry)];
            FromHex(names.at(n).get<std::string>(), raw, sizeof raw);
            SourceNameValues entry{};
            entry.changed = raw[0];
            std::memcpy(entry.name, raw + 1, NAME_LENGTH);
            std::memcpy(entry.nickname, raw + 14, NICKNAME_LENGTH);
            std::memcpy(entry.alias, raw + 21, NAME_LENGTH);
            NameDisplayRow(n, entry, rows[n - 1]);
        }
        List(IDC_NAMES_LIST, rows, SOURCE_COUNT);
    } else {
        Die("unknown display " + view);
    }
    return 0;
}
