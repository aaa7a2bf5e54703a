# cmake -DWORK_DIR=DIR -P changelog_date_test.cmake
# The manual page's date, from changelogs whose latest entry falls on either side of a day, a
# month, a year or a leap day in UTC, written with and without the day of the week.
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/changelog-date.cmake")

# Each row: the latest entry's date as the changelog writes it, then the day in UTC.
set(rows
  "Mon, 07 Dec 2026 12:00:00 +0000|2026-12-07"
  "Fri, 01 Jan 2027 08:30:00 +0900|2026-12-31"
  "Thu, 31 Dec 2026 20:00:00 -0500|2027-01-01"
  "Tue, 29 Feb 2028 00:00:00 +0000|2028-02-29"
  "Wed, 01 Mar 2000 00:59:00 +0100|2000-02-29"
  "Fri, 28 Feb 2025 23:00:00 -0100|2025-03-01"
  "Mon, 01 Mar 2100 00:00:00 +0000|2100-03-01"
  "Thu, 9 Sep 1999 23:59:59 +0000|1999-09-09"
  "01 Jan 1970 00:00:00 +0000|1970-01-01"
  "Sun, 08 Aug 2088 09:09:09 -0930|2088-08-08"
  "Sun, 08 Aug 2088 19:09:09 -0930|2088-08-09")

set(changelog "${WORK_DIR}/changelog")
set(failures 0)
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 written)
  list(GET fields 1 expected)
  # An older entry follows: only the latest counts.
  file(WRITE "${changelog}"
       "vellicor (1.0.0) unstable; urgency=medium\n\n  * A release.\n\n"
       " -- The Vellicor authors <vellicor@example.invalid>  ${written}\n\n"
       "vellicor (0.1.0) unstable; urgency=medium\n\n  * An earlier one.\n\n"
       " -- The Vellicor authors <vellicor@example.invalid>  Mon, 02 Feb 2004 02:02:02 +0000\n")
  set(ENV{SOURCE_DATE_EPOCH} 86400)
  vellicor_changelog_date("${changelog}" date)
  set(failed FALSE)
  if(NOT date STREQUAL expected)
    message(SEND_ERROR "${written}: expected ${expected}, got ${date}")
    set(failed TRUE)
  endif()
  # The caller's SOURCE_DATE_EPOCH is left as it was.
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "86400")
    message(SEND_ERROR "${written}: SOURCE_DATE_EPOCH changed to $ENV{SOURCE_DATE_EPOCH}")
    set(failed TRUE)
  endif()
  if(failed)
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
list(LENGTH rows count)
math(EXPR passed "${count} - ${failures}")
message("${passed} passed, ${failures} failed")
