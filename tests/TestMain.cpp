#include "TestKit.h"

#include <windows.h>

int main(int argc, char** argv)
{
    // Programs a case starts inherit what is inheritable: ctest's pipe must not be, or one
    // that outlives its case keeps ctest waiting for the end of the output.
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
    return TestKit::RunAll(argc, argv);
}
