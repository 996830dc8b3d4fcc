#include "ffmpeg/ProgressReporter.h"

#include "windows/Console.h"
#include "windows/TextFormat.h"

#include <cstdio>

namespace {
const unsigned long FirstLineAfterMs = 3000;
} // namespace

ProgressReporter::ProgressReporter(Console& console, unsigned long engineStartTick)
    : m_console(console), m_engineStart(engineStartTick)
{
}

void ProgressReporter::BeginRun(unsigned long now)
{
    m_runStart = now;
}

std::string ProgressReporter::Format(double position, double duration, double runSeconds)
{
    std::string line = "Progress: " + TextFormat::Clock(position);
    if (duration <= 0)
        return line + " converted";
    int percent = static_cast<int>(position * 100 / duration);
    if (percent > 99)
        percent = 99;
    if (percent < 0)
        percent = 0;
    char buf[32];
    std::snprintf(buf, sizeof buf, " (%d%%)", percent);
    line += " of " + TextFormat::Clock(duration) + buf;
    if (position > 0 && runSeconds >= 1 && position < duration)
        line += ", about " + TextFormat::Clock(runSeconds * (duration - position) / position) + " left";
    return line;
}

void ProgressReporter::Update(double position, double duration, unsigned long now)
{
    if (position < 0 || now - m_engineStart < FirstLineAfterMs)
        return;
    if (m_printed && now - m_lastLine < LineEveryMs)
        return;
    m_console.Line(Format(position, duration, (now - m_runStart) / 1000.0));
    m_printed = true;
    m_lastLine = now;
}
