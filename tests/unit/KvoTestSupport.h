// Helpers shared by the unit tests: a fixture that proves no heap object leaked or was freed
// twice, and temporary streams with known contents.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "values/KvoRefObject.h"

// Fails the test when heap objects were leaked or freed twice (counted in builds with
// KIVO_COUNT_OBJECTS; elsewhere the count stays 0 and the check passes trivially).
class LiveObjectCheck : public ::testing::Test
{
protected:
    void SetUp() override { m_liveAtStart = KvoRefObject::liveObjects(); }
    void TearDown() override { EXPECT_EQ(KvoRefObject::liveObjects(), m_liveAtStart) << "live heap objects changed"; }

private:
    std::int64_t m_liveAtStart = 0;
};

// A temporary stream holding bytes, positioned at the start.
inline std::FILE* streamWith(const std::string& bytes)
{
    std::FILE* stream = std::tmpfile();
    EXPECT_NE(stream, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::rewind(stream);
    return stream;
}

// Everything in the stream, read from the start.
inline std::string contentsOf(std::FILE* stream)
{
    std::fflush(stream);
    std::rewind(stream);
    std::string bytes;
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream))
        bytes.push_back(static_cast<char>(c));
    return bytes;
}
