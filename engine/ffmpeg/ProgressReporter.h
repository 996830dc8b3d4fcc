#pragma once

#include <string>

class Console;

// Prints "Progress:" lines about every 2.5 s, the first one 3 s after the engine started,
// so a quick conversion shows none.
class ProgressReporter
{
public:
    ProgressReporter(Console& console, unsigned long engineStartTick);

    // A new ffmpeg run starts: time left is estimated from this run's pace.
    void BeginRun(unsigned long now);
    void Update(double position, double duration, unsigned long now);

    // "Progress: 0:00:12 of 0:01:00 (20%), about 0:00:45 left"
    static std::string Format(double position, double duration, double runSeconds);

    // How often a line of progress comes (the source's download uses the same pace).
    static const unsigned long LineEveryMs = 2500;

private:
    Console& m_console;
    unsigned long m_engineStart;
    unsigned long m_runStart = 0;
    unsigned long m_lastLine = 0;
    bool m_printed = false;
};
