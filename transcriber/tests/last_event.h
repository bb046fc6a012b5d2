// Death tests of code that writes the process's last event and ends it with a status. The event
// goes to standard error, where gtest's death tests read it; `line` is a regular expression.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "event_output.h"

#define EXPECT_ENDS_WITH(statement, status, line) \
  EXPECT_EXIT(                                    \
      {                                           \
        static EventOutput output(2);             \
        setEventOutput(&output);                  \
        statement;                                \
      },                                          \
      ::testing::ExitedWithCode(status), std::string("^") + (line) + "\n$")
