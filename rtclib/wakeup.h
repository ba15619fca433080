// The wake-up alarm as the alarm tools put it.
//
//   wakeUpLine()         Alarm, as readAlarm left it, in words: "OK wake-up every day at 07:30",
//                        "OK wake-up every Monday at 07:30", ... or "OK no wake-up set"
//   nextWakeUpLine(now)  when Alarm next fires after the clock's time `now`:
//                        "OK next wake-up dd/mm/yyyy hh:mm", or "OK no next wake-up"
//
// Week days are numbered 1 = Sunday to 7 = Saturday, as Linux's driver for these chips does.
#pragma once

#include <string>

#include "rtclib.h"

std::string wakeUpLine();
std::string nextWakeUpLine(const DateRecord& now);
