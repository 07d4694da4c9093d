#include "history/book.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "history/log_format.h"

namespace {

size_t BlockBytes(const HistoryBlock& b) { return b.entries.capacity() * sizeof(HistoryEntry) + b.text.capacity(); }

bool Shows(const HistoryFilter& f, const HistoryEntry& e) {
    if (!f.category[e.category]) return false;
    return !(f.changesOnly && (e.flags & HISTORY_NO_CHANGE));
}

void DropOldest(HistoryBook& book) {
    while (book.blocks.size() > 1) {
        const size_t size = HistoryBookSize(book);
        const size_t front = book.blocks.front()->entries.size();
        const bool overCount = size - front >= book.keepEvents;
        const bool overMemory = book.memoryBytes > HISTORY_MAX_BYTES;
        if (!overCount && !overMemory) break;
        book.memoryBytes -= BlockBytes(*book.blocks.front());
        book.blocks.pop_front();
        book.firstSeq += front;
        book.dropped += front;
        if (HistoryFilterIsAll(book.filter)) book.viewRowsDropped += front;
    }
    while (book.viewStart < book.view.size() && book.view[book.viewStart] < book.firstSeq) {
        ++book.viewStart;
        ++book.viewRowsDropped;
    }
    if (book.viewStart > 4096 && book.viewStart * 2 > book.view.size()) {
        book.view.erase(book.view.begin(), book.view.begin() + static_cast<std::ptrdiff_t>(book.viewStart));
        book.viewStart = 0;
    }
}

void Add(HistoryBook& book, const HistoryEvent& event, const std::string& details, bool changed) {
    if (book.blocks.empty() || book.blocks.back()->entries.size() == HISTORY_BLOCK_EVENTS) {
        if (!book.blocks.empty()) {
            // A full block's details no longer grow: give back the slack.
            HistoryBlock& full = *book.blocks.back();
            book.memoryBytes -= BlockBytes(full);
            full.text.shrink_to_fit();
            book.memoryBytes += BlockBytes(full);
        }
        std::unique_ptr<HistoryBlock> block(new HistoryBlock);
        block->entries.reserve(HISTORY_BLOCK_EVENTS);
        book.memoryBytes += BlockBytes(*block);
        book.blocks.push_back(std::move(block));
    }
    HistoryBlock& block = *book.blocks.back();
    const size_t before = block.text.capacity();
    HistoryEntry entry;
    entry.event = event;
    entry.textOffset = static_cast<uint32_t>(block.text.size());
    const size_t length = details.size() < HISTORY_DETAILS_MAX ? details.size() : HISTORY_DETAILS_MAX;
    block.text.append(details, 0, length);
    entry.textLength = static_cast<uint16_t>(length);
    entry.category = static_cast<uint8_t>(HistoryCategoryOf(event));
    entry.flags = changed ? 0 : HISTORY_NO_CHANGE;
    block.entries.push_back(entry);
    book.memoryBytes += block.text.capacity() - before;
    const uint64_t seq = book.endSeq++;
    if (book.logLines) HistoryAppendLogLine(event, details, *book.logLines);
    if (!HistoryFilterIsAll(book.filter) && Shows(book.filter, entry)) book.view.push_back(seq);
    DropOldest(book);
}

int Describe(HistoryBook& book, const HistoryEvent& event) {
    std::string details;
    const bool changed = HistoryDescribe(book.shadow, event, details);
    Add(book, event, details, changed);
    return 1;
}

HistoryEvent LinkEvent(HistoryEventKind kind, int64_t timeMs, const char* note) {
    HistoryEvent e;
    std::memset(&e, 0, sizeof e);
    e.kind = kind;
    e.timeMs = timeMs;
    if (note) std::snprintf(reinterpret_cast<char*>(e.bytes), HISTORY_EVENT_BYTES, "%s", note);
    return e;
}

bool ContainsNoCase(const std::string& text, const std::string& needle) {
    auto it = std::search(text.begin(), text.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

}  // namespace

int HistoryCategoryOf(const HistoryEvent& e) {
    switch (e.kind) {
    case EVENT_MESSAGE:
    case EVENT_IGNORED:
        switch (e.type & 0xF0) {
        case CATEGORY_ME: return HISTORY_ME;
        case CATEGORY_EXT: return HISTORY_EXT;
        case CATEGORY_SS: return HISTORY_SS;
        case CATEGORY_OUT: return HISTORY_OUT;
        case CATEGORY_NAMES: return HISTORY_NAMES;
        default: return HISTORY_CONTROL;
        }
    case EVENT_RESET: return HISTORY_CONTROL;
    case EVENT_CONNECT:
    case EVENT_DISCONNECT:
    case EVENT_SILENT:
    case EVENT_RECEIVING:
    case EVENT_REPLAY:
    case EVENT_MODEM:
    case EVENT_HUB: return HISTORY_LINK;
    case EVENT_ALARM: return HISTORY_ALARMS;
    default: return HISTORY_ERRORS;
    }
}

void HistoryFilterAll(HistoryFilter& filter) {
    for (bool& c : filter.category) c = true;
    filter.changesOnly = false;
}

bool HistoryFilterIsAll(const HistoryFilter& filter) {
    for (bool c : filter.category)
        if (!c) return false;
    return !filter.changesOnly;
}

void HistoryBookInit(HistoryBook& book) {
    HistoryShadowInit(book.shadow);
    HistoryFilterAll(book.filter);
    HistoryBookClear(book);
    book.lostSeen = 0;
}

void HistoryBookClear(HistoryBook& book) {
    book.blocks.clear();
    book.firstSeq = book.endSeq;
    book.dropped = 0;
    book.memoryBytes = 0;
    book.view.clear();
    book.viewStart = 0;
}

int HistoryBookIngest(HistoryBook& book, const HistoryEvent& event) {
    int added = 0;
    if (HistoryIsFraming(event.kind)) {
        if (book.shadow.silent) {
            char note[48];
            const int64_t gap = event.timeMs - book.shadow.lastByteMs;
            std::snprintf(note, sizeof note, "bytes again after %lld.%01lld s", static_cast<long long>(gap / 1000),
                          static_cast<long long>(gap % 1000 / 100));
            added += Describe(book, LinkEvent(EVENT_RECEIVING, event.timeMs, note));
        }
        book.shadow.lastByteMs = event.timeMs;
    }
    return added + Describe(book, event);
}

int HistoryBookAddAlarm(HistoryBook& book, const HistoryEvent& event, const std::string& details) {
    Add(book, event, details, true);
    return 1;
}

int HistoryBookNoteLost(HistoryBook& book, uint64_t lostTotal, int64_t nowMs) {
    if (lostTotal <= book.lostSeen) return 0;
    HistoryEvent e = LinkEvent(EVENT_LOST, nowMs, nullptr);
    const uint64_t n = lostTotal - book.lostSeen;
    e.code = n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(n);
    book.lostSeen = lostTotal;
    return Describe(book, e);
}

int HistoryBookCheckSilence(HistoryBook& book, bool connected, int64_t nowMs) {
    if (!connected || book.shadow.silent || book.shadow.lastByteMs == 0) return 0;
    if (nowMs - book.shadow.lastByteMs <= HISTORY_SILENT_AFTER_MS) return 0;
    return Describe(book, LinkEvent(EVENT_SILENT, nowMs, nullptr));
}

size_t HistoryBookSize(const HistoryBook& book) { return static_cast<size_t>(book.endSeq - book.firstSeq); }

const HistoryEntry& HistoryBookEntry(const HistoryBook& book, uint64_t seq) {
    const uint64_t at = seq - book.firstSeq;
    return book.blocks[static_cast<size_t>(at / HISTORY_BLOCK_EVENTS)]->entries[static_cast<size_t>(at % HISTORY_BLOCK_EVENTS)];
}

std::string HistoryBookDetails(const HistoryBook& book, uint64_t seq) {
    const uint64_t at = seq - book.firstSeq;
    const HistoryBlock& block = *book.blocks[static_cast<size_t>(at / HISTORY_BLOCK_EVENTS)];
    const HistoryEntry& e = block.entries[static_cast<size_t>(at % HISTORY_BLOCK_EVENTS)];
    return block.text.substr(e.textOffset, e.textLength);
}

void HistoryBookSetFilter(HistoryBook& book, const HistoryFilter& filter) {
    book.filter = filter;
    book.view.clear();
    book.viewStart = 0;
    if (HistoryFilterIsAll(filter)) return;
    for (uint64_t seq = book.firstSeq; seq < book.endSeq; ++seq)
        if (Shows(filter, HistoryBookEntry(book, seq))) book.view.push_back(seq);
}

size_t HistoryViewSize(const HistoryBook& book) {
    return HistoryFilterIsAll(book.filter) ? HistoryBookSize(book) : book.view.size() - book.viewStart;
}

uint64_t HistoryViewSeq(const HistoryBook& book, size_t row) {
    return HistoryFilterIsAll(book.filter) ? book.firstSeq + row : book.view[book.viewStart + row];
}

namespace {
// A row matches when any of its columns, or its bytes without spaces, holds the needle.
bool RowMatches(const HistoryBook& book, uint64_t seq, const std::string& needle, HistoryRowText& row,
                std::string& hex) {
    HistoryRowFormat(book, seq, row);
    HistoryHex(HistoryBookEntry(book, seq).event, false, hex);
    const std::string text = std::string(row.time) + '\t' + row.event + '\t' + row.type + '\t' + row.details +
                             '\t' + row.bytes + '\t' + hex;
    return ContainsNoCase(text, needle);
}
}  // namespace

long long HistoryFind(const HistoryBook& book, size_t from, const std::string& needle) {
    const size_t rows = HistoryViewSize(book);
    if (rows == 0 || needle.empty()) return -1;
    HistoryRowText row;
    std::string hex;
    for (size_t i = 0; i < rows; ++i) {
        const size_t r = (from + i) % rows;
        if (RowMatches(book, HistoryViewSeq(book, r), needle, row, hex)) return static_cast<long long>(r);
    }
    return -1;
}

size_t HistoryCountMatches(const HistoryBook& book, const std::string& needle) {
    if (needle.empty()) return 0;
    HistoryRowText row;
    std::string hex;
    size_t n = 0;
    const size_t events = HistoryBookSize(book);
    for (size_t i = 0; i < events; ++i) n += RowMatches(book, book.firstSeq + i, needle, row, hex) ? 1 : 0;
    return n;
}

void HistoryRowFormat(const HistoryBook& book, uint64_t seq, HistoryRowText& out) {
    const HistoryEntry& e = HistoryBookEntry(book, seq);
    HistoryFormatTime(e.event.timeMs, ' ', out.time);
    out.event = HistoryEventName(e.event.kind);
    HistoryTypeText(e.event, out.type);
    out.details = HistoryBookDetails(book, seq);
    HistoryHex(e.event, true, out.bytes);
}

void HistoryBookWrite(const HistoryBook& book, bool viewOnly, bool csv, std::string& out) {
    out += csv ? HISTORY_CSV_HEADER : HISTORY_LOG_HEADER;
    const size_t rows = viewOnly ? HistoryViewSize(book) : HistoryBookSize(book);
    for (size_t r = 0; r < rows; ++r) {
        const uint64_t seq = viewOnly ? HistoryViewSeq(book, r) : book.firstSeq + r;
        const HistoryEntry& e = HistoryBookEntry(book, seq);
        const std::string details = HistoryBookDetails(book, seq);
        if (csv) HistoryAppendCsvLine(e.event, details, out);
        else HistoryAppendLogLine(e.event, details, out);
    }
}
