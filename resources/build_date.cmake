# Writes the header that gives the version record its BuildDate, as day/month/year
# and 12-hour time: "08/03/2026 1:58:01 PM" (day and month two digits, hour without
# a leading zero). Run with cmake -P on every build:
#   cmake -DOUTPUT=<path of build_date.h> -P build_date.cmake
# Local time of the build machine; SOURCE_DATE_EPOCH, when set, fixes the moment
# for reproducible builds.
if(NOT OUTPUT)
    message(FATAL_ERROR "build_date.cmake: OUTPUT is not set")
endif()

# One reading of the clock, so that date and time can never straddle a second.
string(TIMESTAMP stamp "%d/%m/%Y;%H;%M:%S")
list(GET stamp 0 date)
list(GET stamp 1 hour24)
list(GET stamp 2 minutesSeconds)

# 00 is 12 AM, 12 is 12 PM; "%H" has a leading zero that the 12-hour form drops.
math(EXPR hour24 "${hour24}")
if(hour24 LESS 12)
    set(meridiem AM)
else()
    set(meridiem PM)
endif()
math(EXPR hour12 "${hour24} % 12")
if(hour12 EQUAL 0)
    set(hour12 12)
endif()

set(content "/* Written by build_date.cmake on every build. */\n")
string(APPEND content "#define RIVU_BUILD_DATE \"${date} ${hour12}:${minutesSeconds} ${meridiem}\"\n")

# Leave the file alone when nothing changed, so that nothing is rebuilt for it.
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" previous)
endif()
if(NOT content STREQUAL previous)
    file(WRITE "${OUTPUT}" "${content}")
endif()
