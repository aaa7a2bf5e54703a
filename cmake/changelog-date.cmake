# vellicor_changelog_date(CHANGELOG OUT_VAR): the date, as YYYY-MM-DD in UTC, of the latest entry
# of a Debian changelog. The packages take their time stamps from the same entry
# (SOURCE_DATE_EPOCH), so whatever carries this date stays the same from one build to the next
# and agrees with them. The build is configured again when the changelog changes.

# Days from 1970-01-01 to the given day of the proleptic Gregorian calendar, counted in eras of
# 400 years that start on 1 March (so the leap day ends a year).
function(vellicor_days_from_civil year month day out_var)
  if(month LESS_EQUAL 2)
    math(EXPR year "${year} - 1")
    math(EXPR month_of_year "${month} + 9")
  else()
    math(EXPR month_of_year "${month} - 3")
  endif()
  math(EXPR era "${year} / 400")
  math(EXPR year_of_era "${year} - ${era} * 400")
  math(EXPR day_of_year "(153 * ${month_of_year} + 2) / 5 + ${day} - 1")
  math(EXPR day_of_era
       "${year_of_era} * 365 + ${year_of_era} / 4 - ${year_of_era} / 100 + ${day_of_year}")
  math(EXPR days "${era} * 146097 + ${day_of_era} - 719468")
  set(${out_var} ${days} PARENT_SCOPE)
endfunction()

# CMake's math() reads a leading 0 as octal, in which 08 and 09 are no numbers.
function(vellicor_decimal text out_var)
  string(REGEX REPLACE "^0+([0-9])" "\\1" number "${text}")
  set(${out_var} ${number} PARENT_SCOPE)
endfunction()

function(vellicor_changelog_date changelog out_var)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${changelog}")
  # The trailer line of an entry: " -- NAME <ADDRESS>  Mon, 07 Dec 2026 12:00:00 +0000".
  set(date_pattern "^ -- [^\n]*>  [A-Za-z, ]*([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  string(APPEND date_pattern "([0-9][0-9]):([0-9][0-9]):([0-9][0-9]) ([+-])([0-9][0-9][0-9][0-9])$")
  file(STRINGS "${changelog}" trailers REGEX "^ -- ")
  list(LENGTH trailers count)
  if(count EQUAL 0)
    message(FATAL_ERROR "${changelog} has no entry")
  endif()
  list(GET trailers 0 trailer)
  if(NOT trailer MATCHES "${date_pattern}")
    message(FATAL_ERROR "${changelog}: the latest entry's date is not of the form "
                        "'Mon, 07 Dec 2026 12:00:00 +0000': ${trailer}")
  endif()
  set(month_name ${CMAKE_MATCH_2})
  set(year ${CMAKE_MATCH_3})
  set(sign ${CMAKE_MATCH_7})
  string(SUBSTRING ${CMAKE_MATCH_8} 0 2 offset_hours)
  string(SUBSTRING ${CMAKE_MATCH_8} 2 2 offset_minutes)
  vellicor_decimal(${CMAKE_MATCH_1} day)
  vellicor_decimal(${CMAKE_MATCH_4} hour)
  vellicor_decimal(${CMAKE_MATCH_5} minute)
  vellicor_decimal(${CMAKE_MATCH_6} second)
  vellicor_decimal(${offset_hours} offset_hours)
  vellicor_decimal(${offset_minutes} offset_minutes)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(FIND months ${month_name} month_index)
  if(month_index LESS 0)
    message(FATAL_ERROR "${changelog}: no month is called ${month_name}: ${trailer}")
  endif()
  math(EXPR month "${month_index} + 1")

  vellicor_days_from_civil(${year} ${month} ${day} days)
  # The entry's local time, less its offset east of UTC.
  math(EXPR epoch "${days} * 86400 + ${hour} * 3600 + ${minute} * 60 + ${second}")
  math(EXPR offset "${offset_hours} * 3600 + ${offset_minutes} * 60")
  if(sign STREQUAL "+")
    math(EXPR epoch "${epoch} - ${offset}")
  else()
    math(EXPR epoch "${epoch} + ${offset}")
  endif()
  # string(TIMESTAMP) tells the time of SOURCE_DATE_EPOCH when it is set.
  set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  string(TIMESTAMP date "%Y-%m-%d" UTC)
  set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")
  set(${out_var} ${date} PARENT_SCOPE)
endfunction()
