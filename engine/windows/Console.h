#pragma once

#include <string>

// Thrown when nobody waits for the conversion any more (the window that started it was
// closed or started another). Caught once, where the conversion ends.
struct Cancelled
{
};

// Where the engine's lines go, and whether anybody still reads them. Lower rooms are handed
// one: the program's is a ConsoleWriter, tests bring their own.
class Console
{
public:
    virtual ~Console() = default;
    virtual void Line(const std::string& utf8) = 0;
    // True once nobody reads the lines any more.
    virtual bool ReaderGone() = 0;
    void StopIfGone()
    {
        if (ReaderGone())
            throw Cancelled();
    }
};
