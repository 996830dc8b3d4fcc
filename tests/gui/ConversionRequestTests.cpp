// The converter's text work (program folder, target name, the interpreter's code page)
// and the framework pieces it stands on, without a window.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CConversionRequest.h"
#include "TestKit.h"
#include "afxwin.h"

namespace {

std::string S(const CString& text)
{
    return std::string(text.GetString(), static_cast<size_t>(text.GetLength()));
}

// A single-byte ANSI character of this machine's code page that its OEM code page has
// (want == true) or lacks; 0 when there is none.
char AnsiCharacter(bool inOem)
{
    for (int b = 0x80; b <= 0xFF; ++b) {
        const char c = static_cast<char>(b);
        WCHAR wide;
        if (IsDBCSLeadByte(static_cast<BYTE>(b)) ||
            MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &c, 1, &wide, 1) != 1)
            continue;
        CString oem;
        if (CConversionRequest::ToOemExactly(CString(&c, 1), oem) == inOem)
            return c;
    }
    return 0;
}

std::wstring Wide(UINT codePage, const CString& text)
{
    std::wstring wide(static_cast<size_t>(text.GetLength()) + 1, L'\0');
    const int n = MultiByteToWideChar(codePage, 0, text.GetString(), text.GetLength(), &wide[0],
                                      static_cast<int>(wide.size()));
    wide.resize(static_cast<size_t>(n > 0 ? n : 0));
    return wide;
}

} // namespace

TEST_CASE(program_folder_is_everything_up_to_the_last_separator)
{
    CHECK_EQ(S(CConversionRequest::ProgramFolderOf("C:\\Program Files\\ksm\\ksmConverter.exe")),
             "C:\\Program Files\\ksm\\");
    // Any other program name: the folder must not depend on the name's length.
    CHECK_EQ(S(CConversionRequest::ProgramFolderOf("C:\\Tools\\conv.exe")), "C:\\Tools\\");
    CHECK_EQ(S(CConversionRequest::ProgramFolderOf("D:\\a-much-longer-program-name-v2.exe")), "D:\\");
    CHECK_EQ(S(CConversionRequest::ProgramFolderOf("C:\\PROGRA~1\\KSM\\KSMCON~1.EXE")),
             "C:\\PROGRA~1\\KSM\\");
    CHECK_EQ(S(CConversionRequest::ProgramFolderOf("C:/tools/ksm/ksmConverter.exe")), "C:/tools/ksm/");
    CHECK_EQ(S(CConversionRequest::ProgramFolderOf("C:\\mixed/dir\\ksmConverter.exe")),
             "C:\\mixed/dir\\");
    CHECK_EQ(S(CConversionRequest::ProgramFolderOf("ksmConverter.exe")), "");
}

TEST_CASE(running_program_folder_holds_this_test)
{
    char module[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, module, MAX_PATH);
    REQUIRE(length > 0 && length < MAX_PATH);
    CString folder = CConversionRequest::CurrentProgramFolder();
    REQUIRE(!folder.IsEmpty());
    const char last = folder[folder.GetLength() - 1];
    CHECK(last == '\\' || last == '/');
    CHECK_EQ(S(folder) + "conversion_request_tests.exe", std::string(module));
}

TEST_CASE(target_replaces_the_file_name_extension_with_mp4)
{
    CHECK_EQ(S(CConversionRequest::TargetPathFor("E:\\x\\clip.ksm")), "E:\\x\\clip.mp4");
    CHECK_EQ(S(CConversionRequest::TargetPathFor("D:\\rec\\cam1.ksm")), "D:\\rec\\cam1.mp4");
    CHECK_EQ(S(CConversionRequest::TargetPathFor("E:\\x\\clip.mpeg")), "E:\\x\\clip.mp4");
    CHECK_EQ(S(CConversionRequest::TargetPathFor("E:\\x\\clip.ts")), "E:\\x\\clip.mp4");
    CHECK_EQ(S(CConversionRequest::TargetPathFor("E:\\x\\clip.2024.ksm")), "E:\\x\\clip.2024.mp4");
    CHECK_EQ(S(CConversionRequest::TargetPathFor("E:\\x\\clip")), "E:\\x\\clip.mp4");
    // A dot in a folder name is not the file's extension.
    CHECK_EQ(S(CConversionRequest::TargetPathFor("E:\\a.b\\clip")), "E:\\a.b\\clip.mp4");
    CHECK_EQ(S(CConversionRequest::TargetPathFor("E:/a.b/clip")), "E:/a.b/clip.mp4");
    CHECK_EQ(S(CConversionRequest::TargetPathFor("E:\\a.b\\clip.ksm")), "E:\\a.b\\clip.mp4");
}

TEST_CASE(mp4_source_is_its_own_target_whatever_the_case)
{
    const char* source = "E:\\x\\Clip.MP4";
    CString target = CConversionRequest::TargetPathFor(source);
    CHECK_EQ(S(target), "E:\\x\\Clip.mp4");
    CHECK(CConversionRequest::IsSamePath(target, source));
    CHECK(CConversionRequest::IsSamePath("e:\\X\\clip.mp4", source));
    CHECK(!CConversionRequest::IsSamePath(CConversionRequest::TargetPathFor("E:\\x\\clip.ksm"),
                                          "E:\\x\\clip.ksm"));
}

TEST_CASE(script_command_quotes_both_paths)
{
    CHECK_EQ(S(CConversionRequest::ScriptCommand("C:\\my files\\a.ksm", "C:\\my files\\a.mp4")),
             "qm.bat \"C:\\my files\\a.ksm\" \"C:\\my files\\a.mp4\"");
}

TEST_CASE(oem_conversion_is_exact_or_refused)
{
    // The characters come from this machine's own ANSI/OEM code pages.
    CString oem;
    const char* ascii = "cd /d \"Z:\\tmp\\some dir (1)\\\" & qm.bat ~!@#$%^&*()_+{}[];',.";
    CHECK(CConversionRequest::ToOemExactly(ascii, oem));
    CHECK_EQ(S(oem), std::string(ascii));
    CHECK(CConversionRequest::ToOemExactly("", oem));
    CHECK_EQ(S(oem), "");

    const char kept = AnsiCharacter(true);
    if (kept != 0) {
        const CString path = CString("C:\\caf") + CString(&kept, 1) + ".ksm";
        CHECK(CConversionRequest::ToOemExactly(path, oem));
        CHECK(Wide(CP_OEMCP, oem) == Wide(CP_ACP, path));
    }
    const char lacking = AnsiCharacter(false);
    std::printf("code pages: ANSI %u, OEM %u\n", GetACP(), GetOEMCP());
    if (lacking != 0) {
        // A best-fit look-alike would name another file.
        const CString path = CString("C:\\a") + CString(&lacking, 1) + "b" + CString(&lacking, 1) + ".ksm";
        CHECK(!CConversionRequest::ToOemExactly(path, oem));
        CHECK_EQ(S(oem), "");
        CHECK_EQ(S(CConversionRequest::CharactersMissingInOem(path)), std::string(1, lacking));
    }
    CHECK_EQ(S(CConversionRequest::CharactersMissingInOem("C:\\plain name.ksm")), "");
}

TEST_CASE(chosen_name_is_taken_only_when_the_ansi_code_page_holds_it_exactly)
{
    // "C:\Łódź\café – ’.ksm": 1252 holds é, – and ’ but would turn Ł and ź into look-alikes
    // (L, z), naming another file; Shift-JIS lacks them too; UTF-8 holds everything.
    const wchar_t* polish = L"C:\\\x0141\x00f3" L"d\x017a\\caf\x00e9 \x2013 \x2019.ksm";
    CString ansi;
    CHECK(!CConversionRequest::ToAnsiExactly(polish, ansi, 1252));
    CHECK_EQ(S(ansi), "");
    CHECK(CConversionRequest::ToAnsiExactly(L"C:\\caf\x00e9 \x2013 \x2019.ksm", ansi, 1252));
    CHECK_EQ(S(ansi), "C:\\caf\xE9 \x96 \x92.ksm");
    CHECK(CConversionRequest::ToAnsiExactly(polish, ansi, CP_UTF8));
    const std::wstring message = CConversionRequest::UnholdablePathMessage(polish, 1252);
    CHECK(message.find(L"(1252) does not hold: \x0141 \x017a\r\n") != std::wstring::npos);
    CHECK(message.find(std::wstring(L"\"") + polish + L"\"") != std::wstring::npos);

    // No look-alike at all (Windows gives '?'): each missing character named once, an
    // emoji as the one character it is.
    const wchar_t* noFit = L"C:\\\x4f1a\x8b70 \x4f1a \xD83C\xDFA5.ksm";
    CHECK(!CConversionRequest::ToAnsiExactly(noFit, ansi, 1252));
    CHECK(CConversionRequest::UnholdablePathMessage(noFit, 1252).find(L": \x4f1a \x8b70 \xD83C\xDFA5\r\n") !=
          std::wstring::npos);
    CHECK(!CConversionRequest::ToAnsiExactly(noFit, ansi, 932));
    CHECK(CConversionRequest::UnholdablePathMessage(noFit, 932).find(L"(932) does not hold: \xD83C\xDFA5\r\n") !=
          std::wstring::npos);

    // This machine's own code page: ASCII always fits.
    CHECK(CConversionRequest::ToAnsiExactly(L"C:\\rec\\cam 1.ksm", ansi));
    CHECK_EQ(S(ansi), "C:\\rec\\cam 1.ksm");
}

TEST_CASE(oem_check_goes_by_character_in_any_code_page)
{
    // "C:\café\€ – 表.ksm" in UTF-8: with UTF-8 for both (Windows' "Beta: Use Unicode
    // UTF-8" setting) nothing is missing; OEM 437 lacks the euro sign, the dash and the
    // ideograph; in Shift-JIS the ideograph's second byte is a backslash.
    const char* utf8 = "C:\\caf\xC3\xA9\\\xE2\x82\xAC \xE2\x80\x93 \xE8\xA1\xA8 \xF0\x9F\x8E\xA5.ksm";
    CString oem;
    CHECK(CConversionRequest::ToOemExactly(utf8, oem, CP_UTF8, CP_UTF8));
    CHECK_EQ(S(oem), std::string(utf8));
    CHECK_EQ(S(CConversionRequest::CharactersMissingInOem(utf8, CP_UTF8, CP_UTF8)), "");
    CHECK(!CConversionRequest::ToOemExactly(utf8, oem, CP_UTF8, 437));
    CHECK_EQ(S(CConversionRequest::CharactersMissingInOem(utf8, CP_UTF8, 437)),
             "\xE2\x82\xAC \xE2\x80\x93 \xE8\xA1\xA8 \xF0\x9F\x8E\xA5");
    const char* sjis = "C:\\\x95\x5C\\a.ksm";   // the ideograph U+8868
    CHECK_EQ(S(CConversionRequest::CharactersMissingInOem(sjis, 932, 932)), "");
    CHECK(CConversionRequest::ToOemExactly(sjis, oem, 932, 932));
    CHECK_EQ(S(CConversionRequest::CharactersMissingInOem(sjis, 932, 437)), "\x95\x5C");
}

TEST_CASE(refusals_name_the_part_and_quote_the_path_on_its_own_line)
{
    CString folderLine, scriptLine;
    SetEnvironmentVariableA("KSMTEST_VAR", "elsewhere");
    const char* expanding[][2] = {
        {"C:\\%KSMTEST_VAR%\\a.ksm", "%KSMTEST_VAR%"},
        {"C:\\x\\%ksmtest_var:~0,3% clip.ksm", "%ksmtest_var:~0,3%"},
        {"C:\\x\\%KSMTEST_VAR:e=o%.ksm", "%KSMTEST_VAR:e=o%"},
        {"C:\\x\\at %CD%.ksm", "%CD%"},
        {"C:\\x\\50%undefined-ksm%KSMTEST_VAR%.ksm", "%KSMTEST_VAR%"},
    };
    for (const auto& c : expanding) {
        const std::string refusal = S(CConversionRequest::Refusal(c[0], "C:\\Tools\\", folderLine, scriptLine));
        CHECK(refusal.find(c[1]) != std::string::npos);
        CHECK(refusal.find("\r\n\r\n\"" + std::string(c[0]) + "\"\r\n\r\n") != std::string::npos);
        CHECK(refusal.find("Renaming the file") != std::string::npos);
        CHECK(S(scriptLine).empty());
    }
    const std::string inFolder = S(CConversionRequest::Refusal("C:\\x\\a.ksm", "C:\\%KSMTEST_VAR%\\",
                                                               folderLine, scriptLine));
    CHECK(inFolder.find("%KSMTEST_VAR% in the program's folder") != std::string::npos);
    SetEnvironmentVariableA("KSMTEST_VAR", NULL);

    // A '%' that names nothing defined is typed as it is.
    const char* plain[] = {"C:\\x\\a 50%off.ksm", "C:\\100% sure\\%KSMTEST_VAR%.ksm", "C:\\x\\%%.ksm"};
    for (const char* source : plain) {
        CHECK_EQ(S(CConversionRequest::Refusal(source, "C:\\Tools\\", folderLine, scriptLine)), "");
        CHECK_EQ(S(scriptLine), S(CConversionRequest::ScriptCommand(
                                     source, CConversionRequest::TargetPathFor(source))));
        CHECK_EQ(S(folderLine), "cd /d \"C:\\Tools\\\"");
    }

    // cd cannot enter a network folder; pushd can.
    CHECK_EQ(S(CConversionRequest::Refusal("C:\\x\\a.ksm", "\\\\server\\share\\tools\\", folderLine,
                                           scriptLine)), "");
    CHECK_EQ(S(folderLine), "pushd \"\\\\server\\share\\tools\\\"");

    // The interpreter takes lines of at most 8191 characters, and qm.bat repeats both
    // paths after its own folder.
    const std::string longName = "C:\\" + std::string(4100, 'n') + ".ksm";
    const std::string tooLong = S(CConversionRequest::Refusal(longName.c_str(), "C:\\Tools\\", folderLine,
                                                              scriptLine));
    CHECK(tooLong.find("at most 8191") != std::string::npos);
    CHECK(tooLong.find("\"C:\\nnn") != std::string::npos);
    CHECK(tooLong.size() < 600);
    const std::string fits = "C:\\" + std::string(3000, 'n') + ".ksm";
    CHECK_EQ(S(CConversionRequest::Refusal(fits.c_str(), "C:\\Tools\\", folderLine, scriptLine)), "");

    const char lacking = AnsiCharacter(false);
    if (lacking != 0) {
        const std::string source = std::string("C:\\x\\a") + lacking + "b.ksm";
        const std::string refusal = S(CConversionRequest::Refusal(source.c_str(), "C:\\Tools\\", folderLine,
                                                                  scriptLine));
        CHECK(refusal.find(std::string("cannot receive these characters of the file's path: ") + lacking +
                           "\r\n\r\n\"" + source + "\"\r\n") != std::string::npos);
    }
}

namespace {

typedef std::vector<CConversionRequest::DroppedItem> Drop;
CString g_folderLine, g_scriptLine;

std::string DropRefusal(const Drop& items)
{
    return S(CConversionRequest::DropRefusal(items, "C:\\Tools\\", g_folderLine, g_scriptLine));
}

} // namespace

TEST_CASE(dropped_items_make_one_line_and_one_file_converts_as_a_chosen_one)
{
    CHECK_EQ(DropRefusal({{"C:\\rec\\a.ksm", false}}), "");
    CHECK_EQ(S(g_folderLine), "cd /d \"C:\\Tools\\\"");
    CHECK_EQ(S(g_scriptLine), "qm.bat \"C:\\rec\\a.ksm\" \"C:\\rec\\a.mp4\"");
    CHECK_EQ(S(CConversionRequest::DropSummary({{"C:\\rec\\a.ksm", false}})), "Converted File: C:\\rec\\a.mp4");
    CHECK_EQ(DropRefusal({{"C:\\v\\Clip.MP4", false}}),
             S(CConversionRequest::Refusal("C:\\v\\Clip.MP4", "C:\\Tools\\", g_folderLine, g_scriptLine)));

    CHECK_EQ(DropRefusal({{"C:\\rec\\day 1", true}}), "");
    CHECK_EQ(S(g_scriptLine), "qm.bat \"C:\\rec\\day 1\"");
    // A root's backslash must not escape the closing quote.
    CHECK_EQ(S(CConversionRequest::DropCommand({{"D:\\", true}})), "qm.bat \"D:\\.\"");

    CHECK_EQ(DropRefusal({{"C:\\rec\\a.ksm", false}, {"D:\\cam", true}, {"C:\\x\\b", false}}), "");
    CHECK_EQ(S(g_scriptLine), "call qm.bat \"C:\\rec\\a.ksm\" \"C:\\rec\\a.mp4\" & call qm.bat \"D:\\cam\" & "
                              "call qm.bat \"C:\\x\\b\" \"C:\\x\\b.mp4\"");
}

TEST_CASE(a_drop_is_refused_whole_when_any_part_of_its_line_would_go_wrong)
{
    SetEnvironmentVariableA("KSMTEST_VAR", "elsewhere");
    const std::string inFolder = DropRefusal({{"C:\\rec\\a.ksm", false}, {"C:\\%KSMTEST_VAR%", true}});
    CHECK(inFolder.find("%KSMTEST_VAR% in the folder's path") != std::string::npos);
    CHECK(inFolder.find("\r\n\r\n\"C:\\%KSMTEST_VAR%\"\r\n\r\n") != std::string::npos);
    CHECK(S(g_scriptLine).empty() && S(g_folderLine).empty());
    SetEnvironmentVariableA("KSMTEST_VAR", NULL);
    // Each name alone is harmless; the '%' ending one pairs with the one starting the
    // next, and the name between them is defined.
    const char* spanning = "KSMTEST_VAR\" & call qm.bat \"";
    SetEnvironmentVariableA(spanning, "x");
    CHECK_EQ(DropRefusal({{"C:\\x%KSMTEST_VAR", true}}), "");
    CHECK(DropRefusal({{"C:\\x%KSMTEST_VAR", true}, {"%\\y", true}}).find("one at a time") != std::string::npos);
    SetEnvironmentVariableA(spanning, NULL);

    // call doubles every '^' on Windows: fine alone, refused in a chain.
    CHECK_EQ(DropRefusal({{"C:\\a^b", true}}), "");
    CHECK(DropRefusal({{"C:\\a^b", true}, {"C:\\c", true}}).find("Dropping it on its own") != std::string::npos);
    CHECK(DropRefusal({{"C:\\c", true}, {"C:\\v\\Clip.MP4", false}}).find("already an MP4") != std::string::npos);

    // The whole line counts against the interpreter's 8191 characters.
    Drop many(40, {CString(("C:\\" + std::string(190, 'r') + ".ksm").c_str()), false});
    CHECK(DropRefusal(many).find("at most 8191") != std::string::npos);
    CHECK(DropRefusal(many).find("Dropping fewer items at once, or dropping their folder") != std::string::npos);
    many.resize(19);
    CHECK_EQ(DropRefusal(many), "");
}

TEST_CASE(cstring_pieces_the_converter_relies_on)
{
    CString path("E:\\x\\clip.ksm");
    CHECK_EQ(path.ReverseFind('\\'), 4);
    CHECK_EQ(path.ReverseFind('/'), -1);
    CHECK_EQ(S(path.Left(path.ReverseFind('.') + 1) + "mp4"), "E:\\x\\clip.mp4");
    CHECK_EQ(path.CompareNoCase("e:\\X\\CLIP.KSM"), 0);
    CHECK(path.CompareNoCase("e:\\x\\clip.ksn") != 0);
    CString line;
    line.Format("cd /d \"%s\"\r\n", "Z:\\tmp\\");
    CHECK_EQ(S(line), "cd /d \"Z:\\tmp\\\"\r\n");
    CHECK_EQ(S("Converted File: " + path), "Converted File: E:\\x\\clip.ksm");
    CHECK(CString().IsEmpty());
}

// --- the framework: message maps, the application object, the file dialog's setup ---

namespace {

class Counter : public CCmdTarget
{
public:
    int first = 0, second = 0, fromBase = 0;
    void OnFirst() { ++first; }
    void OnSecond() { ++second; }
    void OnBase() { ++fromBase; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(Counter, CCmdTarget)
    ON_COMMAND(100, &Counter::OnBase)
    ON_COMMAND(200, &Counter::OnBase)
END_MESSAGE_MAP()

class DerivedCounter : public Counter
{
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(DerivedCounter, Counter)
    ON_BN_CLICKED(100, &DerivedCounter::OnFirst)
    ON_COMMAND(300, &DerivedCounter::OnSecond)
END_MESSAGE_MAP()

class TestApp : public CWinApp
{
public:
    void Register(const char* key) { SetRegistryKey(key); }
};

TestApp g_app;

} // namespace

TEST_CASE(message_map_entries_override_and_fall_through_to_the_base_map)
{
    DerivedCounter target;
    CHECK(target.OnCmdMsg(100, BN_CLICKED));   // the derived entry wins
    CHECK(target.OnCmdMsg(200, 0));            // only in the base map
    CHECK(target.OnCmdMsg(300, 0));
    CHECK(!target.OnCmdMsg(300, EN_CHANGE));   // a notification is not the command
    CHECK(!target.OnCmdMsg(400, 0));
    CHECK_EQ(target.first, 1);
    CHECK_EQ(target.fromBase, 1);
    CHECK_EQ(target.second, 1);

    Counter base;
    CHECK(base.OnCmdMsg(100, 0));
    CHECK_EQ(base.fromBase, 1);
    CHECK_EQ(base.first, 0);
}

TEST_CASE(application_names_come_from_the_program_file)
{
    CHECK(AfxGetApp() == &g_app);
    CHECK_EQ(std::string(g_app.m_pszAppName), "conversion_request_tests");
    CHECK(g_app.m_pszRegistryKey == NULL);
    g_app.Register("Local AppWizard-Generated Applications");
    CHECK_EQ(std::string(g_app.m_pszRegistryKey), "Local AppWizard-Generated Applications");
    CHECK_EQ(std::string(g_app.m_pszProfileName), "conversion_request_tests");
    CHECK_EQ(g_app.ExitInstance(), 0);
}

TEST_CASE(file_dialog_gets_a_nul_separated_filter_and_room_for_long_paths)
{
    CFileDialog dlg(TRUE, "ksm", "*.ksm", OFN_HIDEREADONLY | OFN_FILEMUSTEXIST,
                    "Ksm Files (*.ksm)|*.ksm|All Files (*.*)|*.*||", NULL, 0);
    const char expected[] = "Ksm Files (*.ksm)\0*.ksm\0All Files (*.*)\0*.*\0\0";
    REQUIRE(dlg.m_ofn.lpstrFilter != NULL);
    CHECK_EQ(std::string(dlg.m_ofn.lpstrFilter, sizeof expected),
             std::string(expected, sizeof expected));
    CHECK_EQ(std::string(dlg.m_ofn.lpstrDefExt), "ksm");
    CHECK_EQ(std::string(dlg.m_ofn.lpstrFile), "*.ksm");
    CHECK(dlg.m_ofn.nMaxFile >= 32768);
    CHECK_EQ(dlg.m_ofn.lStructSize, static_cast<DWORD>(sizeof(OPENFILENAMEA)));
    CHECK((dlg.m_ofn.Flags & (OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_EXPLORER)) ==
          (OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_EXPLORER));

    // A path far beyond MAX_PATH comes back whole.
    std::string longPath = "Z:\\" + std::string(300, 'd') + "\\" + std::string(200, 'f') + ".ksm";
    lstrcpyA(dlg.m_ofn.lpstrFile, longPath.c_str());
    CHECK_EQ(S(dlg.GetPathName()), longPath);
}
