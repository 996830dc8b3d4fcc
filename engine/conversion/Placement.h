#pragma once

#include "windows/Console.h"
#include "windows/WorkFolder.h"

#include <string>

// Puts a checked MP4 in the target's place. It takes the target's name inside the work
// folder first, where neither the clean-up nor a later run's sweep can take it, then
// replaces the target in one rename. A new MP4 another program holds (a virus scanner)
// is waited for; a target that cannot be replaced keeps the new MP4 beside it.
class Placement
{
public:
    // The wait throws Cancelled once nobody reads the console.
    Placement(WorkFolder& work, const std::wstring& target, unsigned long heldWaitMs, Console& console);

    // "" when the MP4 is in the target's place; else why not, and where the MP4 is.
    std::string Place();

private:
    // Renames, waiting while another program holds `from` (saying so every few seconds) or,
    // briefly, the target; 0 or the system's reason.
    unsigned long MoveWhenFree(const std::wstring& from, const std::wstring& to, unsigned long flags);
    unsigned long ReplaceTarget(const std::wstring& mp4);
    // `name` for the data of `mp4`, which another program holds: a hard link, else a copy.
    static bool SecondName(const std::wstring& mp4, const std::wstring& name);
    std::wstring KeepBesideTarget(const std::wstring& mp4);

    WorkFolder& m_work;
    std::wstring m_target;
    unsigned long m_heldWaitMs;
    Console& m_console;
};
