// A test fixture over a fresh storage root: <scratch>/root is initialised
// before each test and the storage is torn down after it.
#ifndef TESTS_SUPPORT_STORAGE_FIXTURE_H
#define TESTS_SUPPORT_STORAGE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "storage/reg_storage.h"
#include "tests/support/process.h"

namespace testing_support {

class StorageRootTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = dir_ / "root";
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override { reg_storage_cleanup(); }

    ScratchDir dir_;
    std::string root_;
};

}  // namespace testing_support

#endif
