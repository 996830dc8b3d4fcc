#pragma once

#include "bytes/ByteSource.h"
#include "rebuild/MdatScanner.h"
#include "rebuild/MoovWriter.h"
#include "rebuild/RecordingFolder.h"
#include "rebuild/SameCameraRecording.h"
#include "windows/Console.h"

#include <cstdint>
#include <string>
#include <vector>

// A camera's MP4/MOV whose index (moov) was never written - power cut, card pulled - holds
// its pictures and sound in its media data all the same. The index is rebuilt from that
// data, with the settings of a finished recording from the same camera beside it, else with
// the parameter sets the stream repeats, into a new MP4 that ffmpeg then reads.
class CutRecordingRepair
{
public:
    // Whether an MP4 decodes without an error.
    class TrialDecoder
    {
    public:
        virtual ~TrialDecoder() = default;
        virtual bool Decodes(const std::wstring& mp4) = 0;
    };

    // Whether `path` is such a recording: ftyp and media data, no index. Where its data lies.
    static bool IndexMissing(const std::wstring& path, uint64_t& dataBegin, uint64_t& dataEnd);

    // How many finished recordings beside it are weighed at most.
    static const size_t MostCandidates = 12;

    // finished: recordings beside it that may be the same camera's; decoder: tries a start
    // rebuilt with a finished recording's settings (none: taken as it is).
    CutRecordingRepair(const std::wstring& recording, uint64_t dataBegin, uint64_t dataEnd, const Neighbours& finished,
                       Console& console, TrialDecoder* decoder)
        : m_recording(recording), m_begin(dataBegin), m_end(dataEnd), m_finished(finished), m_console(console),
          m_decoder(decoder) {}

    // Writes the rebuilt MP4 to `output`, saying how far it got every few seconds: "" when
    // done, else the reason for the user. Throws Cancelled once nobody reads the console.
    std::string Rebuild(const std::wstring& output);
    // The reason was the target folder's (full, denied), not the recording's.
    bool WriteFailed() const { return m_writeFailed; }

private:
    // trial: where a rebuilt start is written to be decoded.
    bool FindSettings(ByteSource& file, const std::wstring& trial);
    bool FromSameCamera(ByteSource& file, const std::wstring& trial);
    // The rebuilt MP4 of the data's first `limit` bytes (0: all): "" or the reason.
    std::string Write(ByteSource& source, const std::wstring& output, uint64_t limit,
                      const MdatScanner::Progress& progress, std::string& summary);
    bool FromStream(ByteSource& file);
    // AAC sound no finished recording describes: read with each layout cameras use.
    void GuessSound(ByteSource& file);
    MoovWriter::Track PicturesOf(const MdatScanner& scan) const;
    MoovWriter::Track SoundOf(const MdatScanner& scan) const;
    // The camera's other tracks the finished recording tells how to list, as long as the pictures.
    static std::vector<MoovWriter::Track> OthersOf(const MdatScanner& scan, const MoovWriter::Track& pictures);
    // The time each damaged stretch lasted, kept between the pictures and sound around it.
    void KeepPauses(const MdatScanner& scan, MoovWriter::Track& pictures, MoovWriter::Track& sound);
    // Where the data was damaged, how much, and about how long it lasted.
    std::string Damage(const MdatScanner& scan) const;
    std::string Summary(const MdatScanner& scan, const MoovWriter::Track& pictures, const MoovWriter::Track& sound,
                        const std::vector<MoovWriter::Track>& others) const;

    std::wstring m_recording;
    uint64_t m_begin, m_end;
    Neighbours m_finished;
    Console& m_console;
    TrialDecoder* m_decoder;
    CameraSettings m_settings;
    bool m_writeFailed = false;
    std::string m_assumed;      // what was assumed for want of a finished recording
    std::string m_soundGuess;   // how sound no finished recording described was read
    double m_damageAt = 0, m_lostSeconds = 0;   // where the first damaged stretch lay, how long they lasted
};
