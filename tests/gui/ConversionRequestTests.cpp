// The converter's text work (program folder, target name, the interpreter's code page)
// and the framework pieces it stands on, without a window.

#include <windows.h>

#include "CConversionRequest.h"
#include "TestKit.h"
#include "afxwin.h"

namespace {

std::string S(const CString& text)
{
    return std::string(text.GetString(), static_cast<size_t>(text.GetLength()));
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
    // These byte values hold for the ANSI/OEM pair the tests run with.
    REQUIRE(GetACP() == 1252);
    REQUIRE(GetOEMCP() == 437);

    CString oem;
    const char* ascii = "cd /d \"Z:\\tmp\\some dir (1)\\\" & qm.bat ~!@#$%^&*()_+{}[];',.";
    CHECK(CConversionRequest::ToOemExactly(ascii, oem));
    CHECK_EQ(S(oem), std::string(ascii));

    // e acute: 0xE9 in 1252, 0x82 in 437.
    CHECK(CConversionRequest::ToOemExactly("C:\\caf\xE9.ksm", oem));
    CHECK_EQ(S(oem), "C:\\caf\x82.ksm");

    // The euro sign (0x80 in 1252) and S caron (0x8A) have no 437 character; best fit
    // would turn the S caron into a plain S and name another file.
    CHECK(!CConversionRequest::ToOemExactly("C:\\price\x80.ksm", oem));
    CHECK_EQ(S(oem), "");
    CHECK(!CConversionRequest::ToOemExactly("C:\\\x8Akoda.ksm", oem));

    CHECK(CConversionRequest::ToOemExactly("", oem));
    CHECK_EQ(S(oem), "");
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
