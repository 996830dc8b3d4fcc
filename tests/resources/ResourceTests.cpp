// Checks the program's resources as compiled into this test program (the same .rc): the
// converter dialog's declared template byte for byte, the same dialog as Windows builds it,
// the icon groups, the manifest and the version block.

#include "TestKit.h"
#include "resource.h"

#include <windows.h>
#include <commctrl.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

enum Kind { BUTTON, EDIT, STATIC };

struct Expected
{
    int id;
    Kind kind;
    const char* text;
    int x, y, cx, cy;
    DWORD style; // everything the template declares, WS_CHILD | WS_VISIBLE included
};

const DWORD CV = WS_CHILD | WS_VISIBLE;

const char kNotice[] = "Copyright (C) 2026 ksmConverter developers";

// Creation order is tab order; the dialog code and the window tests rely on both.
const Expected kControls[] = {
    {IDOK, BUTTON, "Done", 203, 271, 73, 14, CV | BS_DEFPUSHBUTTON | WS_TABSTOP},
    {IDC_BROWSE, BUTTON, "...", 52, 53, 23, 14, CV | BS_PUSHBUTTON | WS_TABSTOP},
    {IDC_SOURCE_PATH, EDIT, "", 76, 53, 351, 14,
     CV | WS_BORDER | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL},
    {IDC_START, BUTTON, "Start Conversion", 52, 95, 73, 14, CV | BS_PUSHBUTTON | WS_TABSTOP},
    {IDC_LOG, EDIT, "", 52, 110, 375, 129,
     CV | WS_BORDER | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL |
         ES_AUTOHSCROLL | ES_OEMCONVERT},
    {IDC_STATIC, STATIC, "Step 1: Please select a .ksm file to convert to standard video format.",
     22, 37, 299, 11, CV | WS_GROUP | SS_LEFT},
    {IDC_STATIC, STATIC,
     "Step 2: Start conversion by clicking the button below. Please do NOT click again until the "
     "conversion is completed.",
     22, 83, 403, 11, CV | WS_GROUP | SS_LEFT},
    {IDC_STATIC, STATIC, kNotice, 360, 19, 111, 16, CV | WS_GROUP | SS_RIGHT},
    {IDC_CONVERTED, EDIT, "", 52, 250, 375, 12, CV | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL},
    {IDC_STATIC, STATIC, "Kesmora Video File Conversion Utility v2.2", 322, 7, 150, 9,
     CV | WS_GROUP | SS_RIGHT},
};
const int kControlCount = sizeof kControls / sizeof kControls[0];

const char kCaption[] = "Kesmora (.ksm) Converter";
const DWORD kDialogStyle = DS_SETFONT | DS_MODALFRAME | DS_FIXEDSYS | WS_POPUP | WS_VISIBLE |
                           WS_CAPTION | WS_SYSMENU;

const char* ClassName(Kind kind)
{
    return kind == BUTTON ? "Button" : kind == EDIT ? "Edit" : "Static";
}

std::string Resource(LPCSTR name, LPCSTR type)
{
    HRSRC found = FindResourceA(nullptr, name, type);
    if (!found)
        return std::string();
    HGLOBAL loaded = LoadResource(nullptr, found);
    const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    return data ? std::string(data, SizeofResource(nullptr, found)) : std::string();
}

// Reads the little-endian fields of a resource; an overrun sets `bad` and yields zeros.
struct Reader
{
    const std::string& data;
    size_t pos = 0;
    bool bad = false;

    explicit Reader(const std::string& d) : data(d) {}

    unsigned Take(size_t n)
    {
        if (pos + n > data.size()) {
            bad = true;
            pos = data.size();
            return 0;
        }
        unsigned v = 0;
        for (size_t i = 0; i < n; ++i)
            v |= static_cast<unsigned>(static_cast<unsigned char>(data[pos + i])) << (8 * i);
        pos += n;
        return v;
    }
    unsigned Word() { return Take(2); }
    DWORD Dword() { return Take(4); }
    int Short() { return static_cast<short>(Take(2)); }
    void AlignDword() { pos = (pos + 3) & ~size_t(3); }

    // A UTF-16 string, shown narrow; the texts here are all ASCII (anything else becomes '?').
    std::string Text()
    {
        std::string out;
        for (unsigned c = Word(); c != 0 && !bad; c = Word())
            out += c < 128 ? static_cast<char>(c) : '?';
        return out;
    }
    // sz_Or_Ord: "#<n>" for an ordinal, else the string.
    std::string NameOrOrdinal()
    {
        if (pos + 2 <= data.size() && Take(2) == 0xFFFF)
            return "#" + std::to_string(Word());
        pos -= 2;
        return Text();
    }
};

struct TemplateItem
{
    DWORD exStyle, style, id;
    int x, y, cx, cy;
    std::string cls, text;
};

INT_PTR CALLBACK QuietProc(HWND, UINT msg, WPARAM, LPARAM)
{
    return msg == WM_INITDIALOG ? TRUE : FALSE;
}

HWND CreateConverterDialog()
{
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    return CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONVERTER), nullptr,
                              QuietProc, 0);
}

std::string WindowText(HWND hwnd)
{
    char buf[512] = "";
    GetWindowTextA(hwnd, buf, sizeof buf);
    return buf;
}

RECT DialogUnits(HWND dlg, int x, int y, int cx, int cy)
{
    // Position and size are converted separately, as the dialog manager does when it creates
    // the controls; converting the right/bottom edges instead can be a pixel off.
    RECT pos = {x, y, 0, 0}, size = {0, 0, cx, cy};
    MapDialogRect(dlg, &pos);
    MapDialogRect(dlg, &size);
    RECT r = {pos.left, pos.top, pos.left + size.right, pos.top + size.bottom};
    return r;
}

// Styles compare as hex text so a failure shows which bits differ.
std::string Hex(DWORD v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lx", static_cast<unsigned long>(v));
    return buf;
}

std::string Describe(const RECT& r)
{
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " +
           std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top);
}

std::string VersionString(const std::vector<char>& block, const char* name)
{
    std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
    char* value = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &len) || !value)
        return "(missing)";
    return std::string(value);
}

} // namespace

TEST_CASE(dialog_template_declares_exact_styles)
{
    std::string data = Resource(MAKEINTRESOURCEA(IDD_CONVERTER), MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    REQUIRE(!data.empty());
    Reader r(data);
    CHECK_EQ(r.Word(), 1u);      // dlgVer: an extended template
    CHECK_EQ(r.Word(), 0xFFFFu); // signature
    r.Dword();                   // helpID
    CHECK_EQ(Hex(r.Dword()), Hex(WS_EX_APPWINDOW));
    CHECK_EQ(Hex(r.Dword()), Hex(kDialogStyle));
    unsigned count = r.Word();
    CHECK_EQ(count, static_cast<unsigned>(kControlCount));
    int x = r.Short(), y = r.Short(), cx = r.Short(), cy = r.Short();
    CHECK(x == 0 && y == 0 && cx == 479 && cy == 306);
    CHECK_EQ(r.NameOrOrdinal(), std::string()); // no menu
    CHECK_EQ(r.NameOrOrdinal(), std::string()); // standard dialog class
    CHECK_EQ(r.Text(), std::string(kCaption));
    CHECK_EQ(r.Word(), 8u); // point size
    CHECK_EQ(r.Word(), 0u); // weight
    CHECK_EQ(r.Take(1), 0u); // italic
    CHECK_EQ(r.Take(1), 1u); // charset
    CHECK_EQ(r.Text(), std::string("MS Shell Dlg"));
    REQUIRE(!r.bad);

    const char* ordinalClass[] = {"#128", "#129", "#130"}; // Button, Edit, Static
    for (unsigned i = 0; i < count && i < static_cast<unsigned>(kControlCount); ++i) {
        const Expected& e = kControls[i];
        r.AlignDword();
        TemplateItem item;
        r.Dword(); // helpID
        item.exStyle = r.Dword();
        item.style = r.Dword();
        item.x = r.Short();
        item.y = r.Short();
        item.cx = r.Short();
        item.cy = r.Short();
        item.id = r.Dword();
        item.cls = r.NameOrOrdinal();
        item.text = r.NameOrOrdinal();
        r.pos += r.Word(); // creation data
        REQUIRE(!r.bad);

        std::printf("    template item %u: id %d\n", i + 1, static_cast<int>(item.id));
        CHECK_EQ(static_cast<int>(item.id), e.id);
        CHECK(item.cls == ordinalClass[e.kind] || lstrcmpiA(item.cls.c_str(), ClassName(e.kind)) == 0);
        CHECK_EQ(item.text, std::string(e.text));
        CHECK_EQ(Hex(item.style), Hex(e.style));
        CHECK_EQ(Hex(item.exStyle), Hex(0));
        CHECK(item.x == e.x && item.y == e.y && item.cx == e.cx && item.cy == e.cy);
    }
}

TEST_CASE(dialog_as_created_matches_layout)
{
    HWND dlg = CreateConverterDialog();
    REQUIRE(dlg != nullptr);

    CHECK_EQ(WindowText(dlg), std::string(kCaption));
    LONG style = GetWindowLongA(dlg, GWL_STYLE);
    CHECK_EQ(Hex(static_cast<DWORD>(style) & kDialogStyle), Hex(kDialogStyle));
    // A fixed-size window: no sizing frame, no minimise or maximise box, no menu.
    CHECK_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0L);
    CHECK(GetMenu(dlg) == nullptr);
    CHECK((GetWindowLongA(dlg, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0);

    RECT client;
    GetClientRect(dlg, &client);
    RECT want = DialogUnits(dlg, 0, 0, 479, 306);
    CHECK_EQ(Describe(client), Describe(want));

    int i = 0;
    for (HWND c = GetWindow(dlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT), ++i) {
        if (i >= kControlCount) {
            CHECK(!"more controls than expected");
            break;
        }
        const Expected& e = kControls[i];
        std::printf("    control %d: id %d\n", i + 1, GetDlgCtrlID(c));
        CHECK_EQ(GetDlgCtrlID(c), e.id);
        char cls[64] = "";
        GetClassNameA(c, cls, sizeof cls);
        CHECK(lstrcmpiA(cls, ClassName(e.kind)) == 0);
        CHECK_EQ(WindowText(c), std::string(e.text));

        // Edit controls may trade WS_BORDER for a client edge when created; either one is a border.
        DWORD s = static_cast<DWORD>(GetWindowLongA(c, GWL_STYLE));
        DWORD ex = static_cast<DWORD>(GetWindowLongA(c, GWL_EXSTYLE));
        bool bordered = (s & WS_BORDER) || (ex & WS_EX_CLIENTEDGE);
        CHECK_EQ(bordered, (e.style & WS_BORDER) != 0);
        const DWORD mask = WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_TABSTOP | WS_GROUP | WS_VSCROLL |
                           WS_HSCROLL | WS_POPUP | WS_CAPTION | 0xFFFF;
        CHECK_EQ(Hex(s & mask & ~WS_BORDER), Hex(e.style & ~WS_BORDER));

        RECT r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&r), 2);
        CHECK_EQ(Describe(r), Describe(DialogUnits(dlg, e.x, e.y, e.cx, e.cy)));

        // Static texts must fit their boxes in the dialog font: a clipped instruction is useless.
        if (e.kind == STATIC) {
            HDC dc = GetDC(c);
            HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(c, WM_GETFONT, 0, 0)));
            RECT box;
            GetClientRect(c, &box);
            RECT need = {0, 0, box.right, 0};
            DrawTextA(dc, e.text, -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
            SelectObject(dc, old);
            ReleaseDC(c, dc);
            CHECK(need.right <= box.right && need.bottom <= box.bottom);
            if (need.bottom > box.bottom)
                std::printf("      text needs %ldx%ld, box is %ldx%ld\n", need.right, need.bottom,
                            box.right, box.bottom);
        }
    }
    CHECK_EQ(i, kControlCount);

    // Tab walks Done, "...", path, Start, log, converted-file box and back, skipping statics.
    const int order[] = {IDOK, IDC_BROWSE, IDC_SOURCE_PATH, IDC_START, IDC_LOG, IDC_CONVERTED, IDOK};
    HWND at = GetDlgItem(dlg, IDOK);
    REQUIRE(at != nullptr);
    CHECK(GetFocus() == at); // the first tab stop starts with the focus
    for (size_t k = 1; k < sizeof order / sizeof order[0]; ++k) {
        at = GetNextDlgTabItem(dlg, at, FALSE);
        REQUIRE(at != nullptr);
        CHECK_EQ(GetDlgCtrlID(at), order[k]);
    }
    // Enter presses Done.
    CHECK_EQ(LOWORD(SendMessageA(dlg, DM_GETDEFID, 0, 0)), static_cast<unsigned>(IDOK));
    DestroyWindow(dlg);
}

TEST_CASE(icon_groups_hold_the_intended_images)
{
    struct Image { unsigned size, bits; };
    const Image wanted[] = {{16, 4}, {32, 4}, {48, 4}, {16, 8}, {32, 8}, {48, 8},
                            {16, 32}, {32, 32}, {48, 32}, {256, 32}};
    std::string group = Resource(MAKEINTRESOURCEA(IDI_APP_ICON), MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */);
    REQUIRE(group.size() >= 6);
    Reader r(group);
    r.Word();
    CHECK_EQ(r.Word(), 1u); // icons, not cursors
    unsigned count = r.Word();
    CHECK_EQ(count, 10u);
    std::vector<bool> seen(10, false);
    for (unsigned i = 0; i < count; ++i) {
        unsigned w = r.Take(1), h = r.Take(1);
        r.Take(2); // colour count, reserved
        r.Word();  // planes
        unsigned bits = r.Word();
        DWORD bytes = r.Dword();
        unsigned id = r.Word();
        REQUIRE(!r.bad);
        unsigned size = w ? w : 256;
        std::printf("    image %u: %ux%u, %u-bit\n", i + 1, size, h ? h : 256, bits);
        CHECK_EQ(w, h);
        bool known = false;
        for (int k = 0; k < 10; ++k)
            if (wanted[k].size == size && wanted[k].bits == bits && !seen[k])
                seen[k] = known = true;
        CHECK(known);
        std::string image = Resource(MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(3) /* RT_ICON */);
        CHECK_EQ(image.size(), static_cast<size_t>(bytes));
        if (size == 256)
            CHECK(image.compare(0, 4, "\x89PNG") == 0);
    }

    for (int size : {16, 32}) {
        HICON icon = static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_APP_ICON),
                                                   IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        REQUIRE(icon != nullptr);
        ICONINFO info = {};
        CHECK(GetIconInfo(icon, &info));
        BITMAP bm = {};
        GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bm, &bm);
        CHECK_EQ(bm.bmWidth, static_cast<LONG>(size));
        if (info.hbmColor)
            DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }

    std::string second = Resource(MAKEINTRESOURCEA(IDI_SECOND_ICON), MAKEINTRESOURCEA(14));
    REQUIRE(second.size() >= 6);
    CHECK(Reader(second).Take(6) != 0); // non-empty directory header
    HICON icon = static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_SECOND_ICON),
                                               IMAGE_ICON, 32, 32, 0));
    CHECK(icon != nullptr);
    if (icon)
        DestroyIcon(icon);
}

TEST_CASE(manifest_requests_invoker_and_dpi_awareness)
{
    std::string manifest = Resource(MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24) /* RT_MANIFEST */);
    REQUIRE(!manifest.empty());
    CHECK(manifest.find("level=\"asInvoker\"") != std::string::npos);
    CHECK(manifest.find("dpiAware") != std::string::npos);
    CHECK(manifest.find(">true</dpiAware>") != std::string::npos);
    CHECK(manifest.find("Microsoft.Windows.Common-Controls") != std::string::npos);
}

TEST_CASE(version_block_names_the_product)
{
    char path[MAX_PATH];
    REQUIRE(GetModuleFileNameA(nullptr, path, MAX_PATH) > 0);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    REQUIRE(size > 0);
    std::vector<char> block(size);
    REQUIRE(GetFileVersionInfoA(path, 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    REQUIRE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &len) && fixed);
    CHECK_EQ(fixed->dwSignature, 0xFEEF04BDul);
    CHECK_EQ(fixed->dwFileVersionMS, 0x00020002ul);
    CHECK_EQ(fixed->dwFileVersionLS, 0ul);
    CHECK_EQ(fixed->dwProductVersionMS, 0x00020002ul);
    CHECK_EQ(fixed->dwProductVersionLS, 0ul);
    CHECK_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    WORD* translation = nullptr;
    REQUIRE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                           reinterpret_cast<void**>(&translation), &len) && len >= 4);
    CHECK_EQ(translation[0], 0x0409);
    CHECK_EQ(translation[1], 1200);

    CHECK_EQ(VersionString(block, "FileDescription"), std::string("Kesmora (.ksm) File converter"));
    CHECK_EQ(VersionString(block, "FileVersion"), std::string("2.2.0.0"));
    CHECK_EQ(VersionString(block, "InternalName"), std::string("ksmConverter.exe"));
    CHECK_EQ(VersionString(block, "OriginalFilename"), std::string("ksmConverter.exe"));
    CHECK_EQ(VersionString(block, "ProductName"), std::string("Kesmora File Converter"));
    CHECK_EQ(VersionString(block, "ProductVersion"), std::string("2.2.0.0"));
    CHECK(VersionString(block, "CompanyName") != "(missing)");
    CHECK_EQ(VersionString(block, "LegalCopyright"), std::string(kNotice));
}

TEST_CASE(every_shipped_program_runs_as_invoker_and_takes_long_paths)
{
    // Read from the built programs beside this one: without a manifest a 32-bit program
    // gets UAC file virtualisation and plain 260-character paths.
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string folder(self, n);
    folder.erase(folder.find_last_of('\\') + 1);
    for (const char* name : {"ksmConverter.exe", "qmconvert.exe", "ffmpeg.exe"}) {
        HMODULE program = LoadLibraryExA((folder + name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        REQUIRE(program != nullptr);
        HRSRC found = FindResourceA(program, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24) /* RT_MANIFEST */);
        HGLOBAL loaded = found ? LoadResource(program, found) : nullptr;
        const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
        std::string manifest = data ? std::string(data, SizeofResource(program, found)) : std::string();
        FreeLibrary(program);
        CHECK(manifest.find("level=\"asInvoker\"") != std::string::npos);
        CHECK(manifest.find(">true</longPathAware>") != std::string::npos);
        CHECK(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}") != std::string::npos);
    }
}

TEST_CASE(the_engine_may_address_more_than_2_gb)
{
    // A 32-bit qmconvert.exe gets 4 GB of address space on 64-bit Windows only when its PE
    // header says it is large-address-aware (a long recording's index lives in memory).
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, n);
    path.erase(path.find_last_of('\\') + 1);
    HANDLE file = CreateFileA((path + "qmconvert.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE);
    char head[4096];
    DWORD got = 0;
    ReadFile(file, head, sizeof head, &got, nullptr);
    CloseHandle(file);
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, head, sizeof dos);
    REQUIRE(got >= sizeof dos && dos.e_lfanew > 0 && dos.e_lfanew + 4 + sizeof(IMAGE_FILE_HEADER) <= got);
    IMAGE_FILE_HEADER pe;
    std::memcpy(&pe, head + dos.e_lfanew + 4, sizeof pe);
    CHECK((pe.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE) != 0);
}
