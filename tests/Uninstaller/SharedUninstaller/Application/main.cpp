// The application's tests need a QApplication, made after GoogleTest has read
// its flags: listing the tests needs no display at all.
#include <gtest/gtest.h>

#include <QtWidgets/QApplication>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
    {
        return RUN_ALL_TESTS();
    }
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
