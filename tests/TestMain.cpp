#include "TestKit.h"

int main(int argc, char** argv)
{
    return TestKit::RunAll(argc, argv);
}
