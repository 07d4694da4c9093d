// The About box (103) and "TTY Settings..." (130) dialog templates and the
// settings string tables, read back from the compiled resources byte by byte:
// kind of template, style, font, geometry, and every control's class, id,
// text, style and rectangle in template order.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "resources/resource.h"

namespace {

HINSTANCE Instance() { return GetModuleHandleA(nullptr); }

// Predefined control classes as template ordinals.
constexpr WORD CLASS_BUTTON = 0x0080;
constexpr WORD CLASS_STATIC = 0x0082;
constexpr WORD CLASS_COMBOBOX = 0x0085;

// A name-or-ordinal field: an ordinal (0xFFFF, value) or a NUL-terminated
// UTF-16 string (ASCII only in our resources).
struct NameOrOrdinal {
    WORD ordinal = 0;  // non-zero when the field is an ordinal
    std::string text;
};

struct TemplateItem {
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD id = 0;
    NameOrOrdinal cls;
    NameOrOrdinal title;
};

struct Template {
    bool extended = false;
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::string caption;
    WORD pointSize = 0;
    std::string face;
    std::vector<TemplateItem> items;
};

class Reader {
public:
    Reader(const uint8_t* begin, size_t size) : begin_(begin), at_(begin), end_(begin + size) {}
    bool ok() const { return ok_; }
    template <typename T>
    T Get() {
        T value{};
        if (at_ + sizeof(T) > end_) {
            ok_ = false;
            return value;
        }
        std::memcpy(&value, at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    std::string String() {
        std::string s;
        for (WORD c = Get<WORD>(); ok_ && c != 0; c = Get<WORD>()) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        return s;
    }
    NameOrOrdinal Field() {
        NameOrOrdinal f;
        const WORD first = Get<WORD>();
        if (first == 0xFFFF) {
            f.ordinal = Get<WORD>();
        } else if (first != 0) {
            f.text.push_back(static_cast<char>(first));
            f.text += String();
        }
        return f;
    }
    void AlignDword() {
        while (ok_ && ((at_ - begin_) % 4) != 0) ++at_;
    }
    void Skip(size_t n) {
        if (at_ + n > end_) ok_ = false;
        else at_ += n;
    }

private:
    const uint8_t* begin_;
    const uint8_t* at_;
    const uint8_t* end_;
    bool ok_ = true;
};

bool LoadTemplate(int id, Template& out) {
    HRSRC found = FindResourceA(Instance(), MAKEINTRESOURCEA(id), reinterpret_cast<LPCSTR>(RT_DIALOG));
    if (!found) return false;
    const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(Instance(), found)));
    if (!bytes) return false;
    Reader r(bytes, SizeofResource(Instance(), found));

    const WORD version = r.Get<WORD>();
    const WORD signature = r.Get<WORD>();
    out.extended = version == 1 && signature == 0xFFFF;
    WORD count = 0;
    if (out.extended) {
        r.Get<DWORD>();  // help id
        r.Get<DWORD>();  // extended style
        out.style = r.Get<DWORD>();
    } else {
        out.style = MAKELONG(version, signature);
        r.Get<DWORD>();  // extended style
    }
    count = r.Get<WORD>();
    out.x = r.Get<short>();
    out.y = r.Get<short>();
    out.cx = r.Get<short>();
    out.cy = r.Get<short>();
    r.Field();  // menu
    r.Field();  // class
    out.caption = r.String();
    if (out.style & DS_SETFONT) {
        out.pointSize = r.Get<WORD>();
        if (out.extended) {
            r.Get<WORD>();     // weight
            r.Get<uint8_t>();  // italic
            r.Get<uint8_t>();  // character set
        }
        out.face = r.String();
    }
    for (WORD i = 0; i < count && r.ok(); ++i) {
        r.AlignDword();
        TemplateItem item;
        if (out.extended) {
            r.Get<DWORD>();  // help id
            r.Get<DWORD>();  // extended style
            item.style = r.Get<DWORD>();
        } else {
            item.style = r.Get<DWORD>();
            r.Get<DWORD>();  // extended style
        }
        item.x = r.Get<short>();
        item.y = r.Get<short>();
        item.cx = r.Get<short>();
        item.cy = r.Get<short>();
        item.id = out.extended ? r.Get<DWORD>() : r.Get<WORD>();
        item.cls = r.Field();
        item.title = r.Field();
        const WORD extra = r.Get<WORD>();
        r.Skip(extra);
        out.items.push_back(item);
    }
    return r.ok() && out.items.size() == count;
}

// One expected control: class, id (-1 for none), text, the style bits that
// decide its kind (compared under `mask`), and its rectangle.
struct Expected {
    WORD cls;
    int id;
    const char* text;
    DWORD kind;
    DWORD mask;
    short x, y, cx, cy;
};

std::string CharUpperStr(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

void ExpectItems(const Template& t, const std::vector<Expected>& expected) {
    ASSERT_EQ(t.items.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const TemplateItem& item = t.items[i];
        const Expected& e = expected[i];
        SCOPED_TRACE("control " + std::to_string(i) + " \"" + e.text + "\"");
        // A predefined class may be stored by ordinal or by name.
        static const char* const NAMES[] = {"BUTTON", "EDIT", "STATIC", "LISTBOX", "SCROLLBAR", "COMBOBOX"};
        if (item.cls.ordinal == 0) {
            EXPECT_EQ(CharUpperStr(item.cls.text), NAMES[e.cls - CLASS_BUTTON]);
        } else {
            EXPECT_EQ(item.cls.ordinal, e.cls);
        }
        EXPECT_EQ(static_cast<WORD>(item.id), static_cast<WORD>(e.id));
        if (item.title.ordinal == 0) {
            EXPECT_EQ(item.title.text, e.text);
        }
        EXPECT_EQ(item.style & e.mask, e.kind) << std::hex << item.style;
        EXPECT_TRUE(item.style & WS_CHILD);
        EXPECT_TRUE(item.style & WS_VISIBLE);
        EXPECT_EQ(item.x, e.x);
        EXPECT_EQ(item.y, e.y);
        EXPECT_EQ(item.cx, e.cx);
        EXPECT_EQ(item.cy, e.cy);
    }
}

constexpr DWORD BUTTON_TYPE = 0x0F;      // BS_TYPEMASK
constexpr DWORD STATIC_TYPE = SS_TYPEMASK;
// Kind of a combo box: its type, strings, sorting and scroll bar.
constexpr DWORD COMBO_KIND_MASK = 0x3 | CBS_HASSTRINGS | CBS_SORT | CBS_OWNERDRAWFIXED |
                                  CBS_OWNERDRAWVARIABLE | WS_VSCROLL;
constexpr DWORD COMBO_KIND = CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL;

TEST(AboutTemplate, ClassicTemplateWithIconTextAndDefaultOk) {
    Template t;
    ASSERT_TRUE(LoadTemplate(IDD_ABOUTBOX, t));
    EXPECT_FALSE(t.extended);
    EXPECT_EQ(t.caption, "About");
    const DWORD frame = WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    EXPECT_EQ(t.style & frame, frame) << std::hex << t.style;
    EXPECT_EQ(t.pointSize, 8);
    EXPECT_EQ(t.face, "System");
    EXPECT_EQ(t.x, 22);
    EXPECT_EQ(t.y, 17);
    EXPECT_EQ(t.cx, 230);
    EXPECT_EQ(t.cy, 75);

    ExpectItems(t, {
        {CLASS_STATIC, IDC_ABOUT_ICON, "", SS_ICON, STATIC_TYPE, 14, 9, 20, 20},
        {CLASS_STATIC, -1, "QORVEX Version 1.0", SS_NOPREFIX, SS_NOPREFIX, 49, 10, 119, 8},
        {CLASS_BUTTON, IDOK, "OK", BS_DEFPUSHBUTTON, BUTTON_TYPE, 195, 6, 30, 11},
        // The build's version, below the original text (filled in at run time).
        {CLASS_STATIC, IDC_ABOUT_VERSION, "", SS_NOPREFIX, SS_NOPREFIX, 49, 24, 170, 8},
    });
    ASSERT_EQ(t.items.size(), 4u);
    EXPECT_EQ(t.items[0].title.ordinal, IDI_QORVEX) << "the icon control shows icon 107";
}

TEST(SettingsTemplate, ExtendedTemplateWithEveryControlInPlace) {
    Template t;
    ASSERT_TRUE(LoadTemplate(IDD_SETTINGS, t));
    EXPECT_TRUE(t.extended);
    EXPECT_EQ(t.caption, "TTY Settings...");
    EXPECT_EQ(t.style & (WS_POPUP | WS_CAPTION), static_cast<DWORD>(WS_POPUP | WS_CAPTION)) << std::hex << t.style;
    EXPECT_EQ(t.pointSize, 8);
    EXPECT_EQ(t.face, "Helv");
    EXPECT_EQ(t.x, 25);
    EXPECT_EQ(t.y, 20);
    EXPECT_EQ(t.cx, 200);
    EXPECT_EQ(t.cy, 175);

    const DWORD group = BS_GROUPBOX, check = BS_AUTOCHECKBOX;
    ExpectItems(t, {
        {CLASS_BUTTON, -1, "&COM Options:", group, BUTTON_TYPE, 5, 5, 115, 130},
        {CLASS_STATIC, -1, "&Port:", SS_RIGHT, STATIC_TYPE, 10, 20, 40, 10},
        {CLASS_COMBOBOX, IDC_SET_PORT, "", COMBO_KIND, COMBO_KIND_MASK, 55, 20, 55, 35},
        {CLASS_STATIC, -1, "&Baud Rate:", SS_RIGHT, STATIC_TYPE, 10, 35, 40, 10},
        {CLASS_COMBOBOX, IDC_SET_BAUD, "", COMBO_KIND, COMBO_KIND_MASK, 55, 35, 55, 35},
        {CLASS_STATIC, -1, "&Data Bits:", SS_RIGHT, STATIC_TYPE, 10, 50, 40, 10},
        {CLASS_COMBOBOX, IDC_SET_DATABITS, "", COMBO_KIND, COMBO_KIND_MASK, 55, 50, 55, 35},
        {CLASS_STATIC, -1, "P&arity:", SS_RIGHT, STATIC_TYPE, 10, 65, 40, 10},
        {CLASS_COMBOBOX, IDC_SET_PARITY, "", COMBO_KIND, COMBO_KIND_MASK, 55, 65, 55, 35},
        {CLASS_STATIC, -1, "&Stop Bits:", SS_RIGHT, STATIC_TYPE, 10, 80, 40, 10},
        {CLASS_COMBOBOX, IDC_SET_STOPBITS, "", COMBO_KIND, COMBO_KIND_MASK, 55, 80, 55, 35},
        {CLASS_STATIC, -1, "F&low:", SS_RIGHT, STATIC_TYPE, 10, 95, 40, 10},
        {CLASS_BUTTON, IDC_SET_DTRDSR, "DTR/DSR", check, BUTTON_TYPE, 55, 95, 50, 10},
        {CLASS_BUTTON, IDC_SET_RTSCTS, "RTS/CTS", check, BUTTON_TYPE, 55, 105, 50, 10},
        {CLASS_BUTTON, IDC_SET_XONXOFF, "XON/XOFF", check, BUTTON_TYPE, 55, 115, 50, 10},
        {CLASS_BUTTON, -1, "&TTY Options:", group, BUTTON_TYPE, 125, 5, 70, 55},
        {CLASS_BUTTON, IDC_SET_AUTOWRAP, "Autowrap", check, BUTTON_TYPE, 135, 20, 50, 10},
        {CLASS_BUTTON, IDC_SET_NEWLINE, "New Line", check, BUTTON_TYPE, 135, 30, 50, 10},
        {CLASS_BUTTON, IDC_SET_LOCALECHO, "Local Echo", check, BUTTON_TYPE, 135, 40, 50, 10},
        {CLASS_BUTTON, -1, "Control &Options", group, BUTTON_TYPE, 5, 135, 190, 35},
        {CLASS_BUTTON, IDC_SET_CNRECEIVE, "Use CN_RECEIVE Notifications", check, BUTTON_TYPE, 10, 150, 115, 10},
        {CLASS_BUTTON, IDC_SET_DISPLAYERRORS, "Display Errors", check, BUTTON_TYPE, 130, 150, 60, 10},
        {CLASS_BUTTON, IDC_SET_FONT, "&Font", BS_PUSHBUTTON, BUTTON_TYPE, 140, 70, 40, 14},
        {CLASS_BUTTON, IDOK, "Ok", BS_DEFPUSHBUTTON, BUTTON_TYPE, 140, 90, 40, 14},
        {CLASS_BUTTON, IDCANCEL, "Cancel", BS_PUSHBUTTON, BUTTON_TYPE, 140, 110, 40, 14},
        // Added beside the original controls.
        {CLASS_BUTTON, IDC_SET_RECONNECT, "Reconnect automatically", check, BUTTON_TYPE, 10, 125, 105, 10},
        // In the free corner of the COM group, left of the flow options.
        {CLASS_BUTTON, IDC_SET_DETECT, "&Detect Settings", BS_PUSHBUTTON, BUTTON_TYPE, 8, 106, 44, 18},
    });
}

std::string LoadText(UINT id) {
    char text[81] = {};
    return LoadStringA(Instance(), id, text, sizeof text) > 0 ? text : "<missing>";
}

TEST(SettingsStrings, PortPrefixAndTableLabelsByTheirIds) {
    EXPECT_EQ(LoadText(IDS_COM_PREFIX), "COM");
    const char* const baud[] = {"110", "300", "600", "1200", "2400", "4800", "9600",
                                "14.4k", "19.2k", "38.4k", "57.6k", "115.2k", "256k"};
    for (UINT i = 0; i < 13; ++i) EXPECT_EQ(LoadText(IDS_BAUD_FIRST + i), baud[i]) << IDS_BAUD_FIRST + i;
    EXPECT_EQ(LoadText(IDS_BAUD_FIRST + 13), "<missing>");
    const char* const parity[] = {"None", "Even", "Odd", "Mark", "Space"};
    for (UINT i = 0; i < 5; ++i) EXPECT_EQ(LoadText(IDS_PARITY_FIRST + i), parity[i]) << IDS_PARITY_FIRST + i;
    const char* const stop[] = {"1", "1.5", "2"};
    for (UINT i = 0; i < 3; ++i) EXPECT_EQ(LoadText(IDS_STOPBITS_FIRST + i), stop[i]) << IDS_STOPBITS_FIRST + i;
    EXPECT_EQ(LoadText(IDS_APP_TITLE), "qorvex");
    EXPECT_EQ(LoadText(IDC_QORVEX), "qorvex");
}

}  // namespace
