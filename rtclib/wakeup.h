// The wake-up alarm as the alarm tools put it, and the controls of the chip's alarm 2 around the
// library's registers 11-13.
//
//   wakeUpLine()        Alarm, as readAlarm left it, in words: "OK wake-up every day at 07:30",
//                       "OK wake-up every Monday at 07:30", ... or "OK no wake-up set"
//   kControlRegister    register 14: kInterruptControl (INTCN, bit 2) makes the interrupt output
//                       signal alarms, kAlarm2Enable (A2IE, bit 1) lets alarm 2 signal there
//   kStatusRegister     register 15: kAlarm2Flag (A2F, bit 1) is set when alarm 2 matches and
//                       stays set until written 0, which acknowledges the alarm
//
// Week days are numbered 1 = Sunday to 7 = Saturday, as Linux's driver for these chips does.
#pragma once

#include <string>

inline constexpr int kControlRegister = 14;
inline constexpr int kStatusRegister = 15;
inline constexpr unsigned char kInterruptControl = 0x04;
inline constexpr unsigned char kAlarm2Enable = 0x02;
inline constexpr unsigned char kAlarm2Flag = 0x02;

std::string wakeUpLine();
