// A recording whose index was never written, rebuilt as the engine does it: recognised by its
// boxes, its settings from a finished recording beside it or from its own stream, its data
// walked and its index written, the result read back. Input: [flags:1][finished length:3 if
// bit 0][finished recording][cut recording]; bit 1: the trial decode of a finished
// recording's settings succeeds.
#include "bytes/BigEndian.h"
#include "rebuild/CutRecordingRepair.h"
#include "mp4/Mp4Inspector.h"
#include "windows/TextFormat.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// A folder of this process's own, emptied and removed when it ends.
std::string folderName;

void RemoveFolder()
{
    for (const char* file : {"finished.mp4", "cut.mp4", "rebuilt.mp4"})
        std::remove((folderName + "/" + file).c_str());
    rmdir(folderName.c_str());
}

std::wstring Folder()
{
    if (folderName.empty()) {
        char name[] = "/tmp/ksm-fuzz-rebuild-XXXXXX";
        folderName = mkdtemp(name) ? name : "/tmp";
        std::atexit(RemoveFolder);
    }
    return TextFormat::Utf8ToWide(folderName) + L"/";
}

std::wstring Put(const wchar_t* name, const uint8_t* data, size_t size)
{
    std::wstring path = Folder() + name;
    std::ofstream(TextFormat::WideToUtf8(path), std::ios::binary).write(reinterpret_cast<const char*>(data),
                                                                          static_cast<std::streamsize>(size));
    return path;
}

} // namespace

struct Quiet : Console
{
    void Line(const std::string&) override {}
    bool ReaderGone() override { return false; }
};

// The trial decode answers as the input's flags say.
struct Answer : CutRecordingRepair::TrialDecoder
{
    explicit Answer(bool decodes) : decodes(decodes) {}
    bool Decodes(const std::wstring&) override { return decodes; }
    bool decodes;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t flags = data[0];
    size_t at = 1, finishedSize = 0;
    Neighbours finished;
    if (flags & 1) {
        if (size < 4)
            return 0;
        finishedSize = std::min<size_t>(BigEndian::Read(data + 1, 3), size - 4);
        finished.paths.push_back(Put(L"finished.mp4", data + 4, finishedSize));
        at = 4 + finishedSize;
    }
    std::wstring cut = Put(L"cut.mp4", data + at, size - at), output = Folder() + L"rebuilt.mp4";
    uint64_t begin = 0, end = 0;
    if (!CutRecordingRepair::IndexMissing(cut, begin, end))
        return 0;
    Quiet console;
    Answer decoder((flags & 2) != 0);
    CutRecordingRepair rebuild(cut, begin, end, finished, console, &decoder);
    if (rebuild.Rebuild(output).empty()) {
        Mp4Inspector result;
        result.InspectFile(output);
    }
    return 0;
}
