#pragma once

namespace platform {

// A moment on the local calendar, as the system's clock and time zone give it.
struct CivilTime {
    int year = 0;
    int month = 0;     // 1..12
    int day = 0;       // 1..31
    int dayOfWeek = 0; // 0 = Sunday
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

} // namespace platform
