#include "ffmpeg/FfmpegReportParser.h"

#include "windows/TextFormat.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Reads the number at text[pos], moving pos past it; -1 when there is none.
long ReadNumber(const std::string& text, size_t& pos)
{
    if (pos >= text.size() || text[pos] < '0' || text[pos] > '9')
        return -1;
    long value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (value < 100000000)
            value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    return value;
}

bool IsAlnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "HH:MM:SS.xx" -> seconds, < 0 when it is not one.
double ParseClock(const std::string& text)
{
    int h = 0, m = 0;
    double s = 0;
    if (std::sscanf(text.c_str(), "%d:%d:%lf", &h, &m, &s) != 3)
        return -1;
    return h * 3600.0 + m * 60.0 + s;
}

// Channels named by a layout such as "stereo", "5.1(side)" or "3 channels"; -1 unknown.
int ChannelsOf(const std::string& field)
{
    std::string f = TextFormat::Trim(field);
    if (f == "mono")
        return 1;
    if (f == "stereo" || f == "downmix")
        return 2;
    size_t pos = 0;
    long n = ReadNumber(f, pos);
    if (n >= 0 && TextFormat::StartsWith(f.substr(pos), " channels"))
        return static_cast<int>(n);
    if (n >= 0 && pos < f.size() && f[pos] == '.') {   // "5.1", "7.1(wide)", "2.1"
        ++pos;
        long lfe = ReadNumber(f, pos);
        return static_cast<int>(n + (lfe > 0 ? lfe : 0));
    }
    if (TextFormat::StartsWith(f, "quad") || TextFormat::StartsWith(f, "4.0"))
        return 4;
    if (TextFormat::StartsWith(f, "hexagonal") || TextFormat::StartsWith(f, "6.0"))
        return 6;
    if (TextFormat::StartsWith(f, "octagonal"))
        return 8;
    return -1;
}

} // namespace

bool StreamInfo::DecodableAudio() const
{
    return kind == "audio" && codec != "none" && !parametersMissing && sampleRate > 0 &&
           channels != 0;
}

bool StreamInfo::UsableVideo() const
{
    // A picture size is enough to copy it: ffmpeg also misses the parameters of a codec it
    // cannot decode (AV1 here), which can still be copied.
    return kind == "video" && codec != "none" && !attachedPicture && width > 0 && height > 0;
}

FfmpegReportParser::FfmpegReportParser(const std::string& outputName) : m_outputName(outputName)
{
}

const StreamInfo* FfmpegReportParser::Stream(int index) const
{
    for (const StreamInfo& s : m_streams)
        if (s.index == index)
            return &s;
    return nullptr;
}

bool StreamInfo::PictureMissing() const
{
    return kind == "video" && !attachedPicture && codec != "none" && width <= 0;
}

bool FfmpegReportParser::VideoParametersMissing() const
{
    for (const StreamInfo& s : m_streams)
        if (s.PictureMissing())
            return true;
    return false;
}

bool FfmpegReportParser::HasFpsMode() const
{
    if (m_lavcMajor == 0)
        return m_major == 0 || m_major >= 5;
    return m_lavcMajor > 59 || (m_lavcMajor == 59 && m_lavcMinor >= 37);
}

bool FfmpegReportParser::MappingComplete() const
{
    return m_outputSeen && m_outputStreams > 0 &&
           static_cast<int>(m_mapped.size()) >= m_outputStreams;
}

void FfmpegReportParser::ParseHeaderField(const std::string& text)
{
    // "170         max_num_reorder_frames            011 = 2"
    size_t pos = 0;
    if (ReadNumber(text, pos) < 0)
        return;
    size_t begin = text.find_first_not_of(' ', pos);
    size_t end = begin == std::string::npos ? begin : text.find_first_of(" [", begin);
    size_t equals = text.rfind(" = ");
    if (end == std::string::npos || equals == std::string::npos || equals < end)
        return;
    size_t at = equals + 3;
    long value = ReadNumber(text, at);
    if (value < 0)
        return;
    long long& kept = m_headerFields.emplace(text.substr(begin, end - begin), value).first->second;
    if (value > kept)
        kept = value;
}

std::string FfmpegReportParser::StripContext(const std::string& line)
{
    // "[mp4 @ 0x55ecc7e3ef40] Could not find tag ..." -> "Could not find tag ..."
    if (!line.empty() && line[0] == '[') {
        size_t close = line.find("] ");
        if (close != std::string::npos && line.find(" @ ") < close)
            return line.substr(close + 2);
    }
    return line;
}

bool FfmpegReportParser::LooksLikeError(const std::string& line)
{
    static const char* const marks[] = {
        "rror", "nvalid", "ailed", "ould not", "No such", "denied", "No space", "too large",
        "ot supported", "nsupported", "not found", "annot", "nable to", "does not", "not implemented",
        "atal", "orrupt", "unexpected", "Unknown", "Disk quota", "o progress",
    };
    if (line.empty() || line[0] == ' ')
        return false;
    for (const char* m : marks)
        if (line.find(m) != std::string::npos)
            return true;
    return false;
}

bool FfmpegReportParser::IsGenericError(const std::string& line)
{
    static const char* const generic[] = {
        "Conversion failed!", "Error initializing output stream", "Could not write header for output file",
        "Error while opening encoder for output stream", "Error marking filters as finished",
        "Error while filtering", "Error opening output files", "Error opening output file",
        "Nothing was written into output file",
    };
    for (const char* g : generic)
        if (TextFormat::StartsWith(line, g))
            return true;
    return false;
}

std::string FfmpegReportParser::Reason() const
{
    for (size_t i = m_errors.size(); i-- > 0;)
        if (!IsGenericError(m_errors[i]))
            return m_errors[i];
    return m_errors.empty() ? std::string() : m_errors.back();
}

void FfmpegReportParser::AddLine(const std::string& rawLine)
{
    std::string line = rawLine;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    std::string trimmed = TextFormat::Trim(line);
    if (!trimmed.empty())
        ++m_lines;
    if (TextFormat::Contains(trimmed, "to muxer"))
        ++m_muxerLines;
    if (TextFormat::StartsWith(line, "[trace_headers @ ")) {
        ParseHeaderField(StripContext(line));
        return;
    }

    if (TextFormat::StartsWith(line, "ffmpeg version ")) {
        size_t pos = std::strlen("ffmpeg version ");
        if (pos < line.size() && (line[pos] == 'n' || line[pos] == 'N') && pos + 1 < line.size() &&
            line[pos + 1] == '-') {
            m_major = 99;   // a snapshot build: newer than any release we know
        } else {
            while (pos < line.size() && (line[pos] < '0' || line[pos] > '9'))
                ++pos;
            long major = ReadNumber(line, pos);
            m_major = major > 0 ? static_cast<int>(major) : 0;
        }
        return;
    }
    if (m_section == Banner && TextFormat::StartsWith(trimmed, "libavcodec ")) {
        // "  libavcodec     59. 37.100 / 59. 37.100"
        size_t pos = trimmed.find_first_of("0123456789");
        long major = pos == std::string::npos ? -1 : ReadNumber(trimmed, pos);
        while (pos < trimmed.size() && (trimmed[pos] == '.' || trimmed[pos] == ' '))
            ++pos;
        long minor = ReadNumber(trimmed, pos);
        if (major > 0 && minor >= 0) {
            m_lavcMajor = static_cast<int>(major);
            m_lavcMinor = static_cast<int>(minor);
        }
        return;
    }
    if (TextFormat::StartsWith(line, "Input #0, ")) {
        m_inputSeen = true;
        m_section = InputReport;
        size_t from = line.find(", from ");
        if (from != std::string::npos)
            m_format = line.substr(10, from - 10);
        return;
    }
    if (TextFormat::StartsWith(line, "Output #0")) {
        m_section = OutputReport;
        m_outputSeen = true;
        m_inputComplete = m_inputSeen;
        return;
    }
    if (line == "Stream mapping:") {
        m_section = Mapping;
        m_inputComplete = m_inputSeen;
        return;
    }

    std::string plain = StripContext(line);
    const char* missing = "Could not find codec parameters for stream ";
    if (TextFormat::StartsWith(plain, missing)) {
        size_t pos = std::strlen(missing);
        long n = ReadNumber(plain, pos);
        if (n >= 0)
            m_missingParameters.insert(static_cast<int>(n));
        for (StreamInfo& s : m_streams)
            if (s.index == n)
                s.parametersMissing = true;
        return;
    }

    // A report's own lines are indented; its streams' lines begin "Stream #0:".
    const bool inReport = line.empty() || line[0] == ' ';
    const bool streamLine = !line.empty() && line[0] == ' ' && TextFormat::StartsWith(trimmed, "Stream #0:");
    switch (m_section) {
    case InputReport:
        // Its own metadata stands between "  Metadata:" and "  Duration:", four spaces in.
        if (!m_tagsDone && line.compare(0, 4, "    ") == 0 && line.size() > 4 && line[4] != ' ' &&
            m_tags.size() < 64) {
            size_t colon = trimmed.find(':');
            if (colon != std::string::npos && colon <= 128)
                m_tags.push_back({TextFormat::Trim(trimmed.substr(0, colon)),
                                  TextFormat::Trim(trimmed.substr(colon + 1, 1024))});
        }
        if (TextFormat::StartsWith(trimmed, "timecode") && m_timecode.empty()) {
            size_t colon = trimmed.find(':');
            if (colon != std::string::npos)
                m_timecode = TextFormat::Trim(trimmed.substr(colon + 1));
            return;
        }
        if (TextFormat::StartsWith(trimmed, "Duration: ")) {
            m_tagsDone = true;
            m_duration = ParseClock(trimmed.substr(10));
            return;
        }
        if (TextFormat::StartsWith(trimmed, "creation_time") && m_creationTime.empty()) {
            size_t colon = trimmed.find(':');
            if (colon != std::string::npos)
                m_creationTime = TextFormat::Trim(trimmed.substr(colon + 1));
            return;
        }
        if (TextFormat::StartsWith(trimmed, "Program ")) {
            size_t pos = 8;
            long n = ReadNumber(trimmed, pos);
            m_program = n >= 0 ? static_cast<int>(n) : -1;
            return;
        }
        if (trimmed == "No Program") {
            m_program = -1;
            return;
        }
        if (streamLine) {
            ParseStream(trimmed);
            return;
        }
        if (inReport)
            return;
        break;
    case OutputReport:
        if (streamLine) {
            ++m_outputStreams;
            return;
        }
        if (inReport)
            return;
        break;
    case Mapping:
        if (streamLine) {
            size_t pos = std::strlen("Stream #0:");
            long n = ReadNumber(trimmed, pos);
            if (n >= 0)
                m_mapped.push_back(static_cast<int>(n));
            return;
        }
        if (inReport)
            return;
        m_section = Running;
        break;
    default:
        break;
    }

    if (TextFormat::Contains(plain, "non monotonically increasing dts") ||
        TextFormat::Contains(plain, "Non-monotonous DTS") || TextFormat::Contains(plain, "non monotonic"))
        m_clockTrouble = true;
    if (TextFormat::StartsWith(plain, "Error while decoding stream"))
        ++m_decodeErrors;
    if (TextFormat::Contains(plain, "reserved_moov_size is too small"))
        m_indexRoomTooSmall = true;
    if (TextFormat::Contains(plain, "exceeds max_streams"))
        m_tooManyStreams = true;

    static const char* const writeErrors[] = {"No space left on device", "Disk quota exceeded",
                                              "File too large"};
    for (const char* w : writeErrors)
        if (TextFormat::Contains(plain, w) && m_writeError.empty())
            m_writeError = plain;
    if (TextFormat::Contains(plain, "Permission denied") && m_writeError.empty() &&
        ((!m_outputName.empty() && TextFormat::Contains(plain, m_outputName.c_str())) ||
         TextFormat::Contains(plain, "write") || TextFormat::Contains(plain, "trailer")))
        m_writeError = plain;

    if (LooksLikeError(plain) && plain != "Conversion failed!") {
        if (m_errors.size() >= 40)
            m_errors.erase(m_errors.begin());
        m_errors.push_back(plain);
    }
}

void FfmpegReportParser::ParseStream(const std::string& text)
{
    // "Stream #0:1[0x101](eng): Audio: aac (LC) ([15][0][0][0] / 0x000F), 44100 Hz, stereo, fltp"
    StreamInfo s;
    size_t pos = std::strlen("Stream #0:");
    long n = ReadNumber(text, pos);
    if (n < 0)
        return;
    s.index = static_cast<int>(n);
    size_t colon = text.find(": ", pos);
    if (colon == std::string::npos)
        return;
    size_t kindEnd = text.find(':', colon + 2);
    if (kindEnd == std::string::npos)
        return;
    s.kind = TextFormat::Lower(text.substr(colon + 2, kindEnd - colon - 2));
    s.details = TextFormat::Trim(text.substr(kindEnd + 1));
    size_t codecEnd = s.details.find_first_of(" ,");
    s.codec = s.details.substr(0, codecEnd);
    if (s.codec.empty())
        s.codec = "none";
    // "bin_data (gpmd / 0x646D7067)": the tag before the number.
    size_t number = s.details.find(" / 0x");
    size_t open = number == std::string::npos ? std::string::npos : s.details.rfind('(', number);
    if (open != std::string::npos && number - open - 1 <= 8)
        s.tag = s.details.substr(open + 1, number - open - 1);
    s.parametersMissing = m_missingParameters.count(s.index) > 0;
    if (m_program >= 0)
        s.programs.push_back(m_program);
    s.attachedPicture = TextFormat::Contains(s.details, "(attached pic)");
    s.interlaced = TextFormat::Contains(s.details, "top first") ||
                   TextFormat::Contains(s.details, "bottom first") ||
                   TextFormat::Contains(s.details, "top coded first") ||
                   TextFormat::Contains(s.details, "bottom coded first");

    if (s.kind == "video") {
        // The first "WxH" standing on its own: not "0x001B" inside a codec tag.
        const std::string& d = s.details;
        for (size_t i = 0; i < d.size(); ++i) {
            if (d[i] < '1' || d[i] > '9' || (i > 0 && d[i - 1] != ' '))
                continue;
            size_t p = i;
            long w = ReadNumber(d, p);
            if (p >= d.size() || d[p] != 'x')
                continue;
            ++p;
            long h = ReadNumber(d, p);
            if (w > 0 && h > 0 && (p == d.size() || !IsAlnum(d[p]))) {
                s.width = static_cast<int>(w);
                s.height = static_cast<int>(h);
                break;
            }
        }
        size_t fps = d.find(" fps");
        if (fps != std::string::npos) {
            size_t begin = d.rfind(' ', fps - 1);
            s.fps = std::atof(d.substr(begin == std::string::npos ? 0 : begin + 1, fps).c_str());
        }
    } else if (s.kind == "audio") {
        // Fields split at ", " outside parentheses; the one after "N Hz" is the layout.
        std::vector<std::string> fields;
        int depth = 0;
        size_t start = 0;
        const std::string& d = s.details;
        for (size_t i = 0; i < d.size(); ++i) {
            if (d[i] == '(')
                ++depth;
            else if (d[i] == ')')
                --depth;
            else if (d[i] == ',' && depth <= 0) {
                fields.push_back(TextFormat::Trim(d.substr(start, i - start)));
                start = i + 1;
            }
        }
        fields.push_back(TextFormat::Trim(d.substr(start)));
        for (size_t i = 0; i < fields.size(); ++i) {
            size_t p = 0;
            long v = ReadNumber(fields[i], p);
            if (v > 0 && fields[i].substr(p) == " Hz") {
                s.sampleRate = static_cast<int>(v);
                if (i + 1 < fields.size())
                    s.channels = ChannelsOf(fields[i + 1]);
            } else if (TextFormat::Contains(fields[i], " channels")) {
                s.channels = ChannelsOf(fields[i]);
            }
        }
    }
    // The same stream listed again under a second programme.
    for (StreamInfo& known : m_streams) {
        if (known.index == s.index) {
            if (m_program >= 0)
                known.programs.push_back(m_program);
            return;
        }
    }
    m_streams.push_back(s);
}
