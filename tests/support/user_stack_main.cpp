// The test program's entry: the tests run on a thread whose stack lies in the simulated
// machine's user space, because a test body acts as a user program: the buffers it hands
// to DeviceIoControl are its locals, and NT's I/O manager accepts user addresses only.
#include <gtest/gtest.h>

#include "address_space.h"

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    constexpr uint32_t kStackBytes = 16u << 20;
    return qorsim::run_on_user_stack([](int, char **) { return RUN_ALL_TESTS(); }, argc, argv, kStackBytes);
}
