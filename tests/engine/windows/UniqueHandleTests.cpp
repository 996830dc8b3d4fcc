// A handle's owner closes it once, whoever holds it last.

#include "TestKit.h"

#include "windows/UniqueHandle.h"

#include <windows.h>

#include <utility>

TEST_CASE(a_handle_is_closed_once_by_its_last_owner)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD flags = 0;
    {
        UniqueHandle first(event);
        UniqueHandle second(std::move(first));
        first = std::move(second);
        CHECK(!second);
        CHECK(GetHandleInformation(event, &flags));   // open still, after the moves
    }
    CHECK(!GetHandleInformation(event, &flags));
    CHECK(!UniqueHandle(INVALID_HANDLE_VALUE));
}
