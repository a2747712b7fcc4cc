// Control ids of the reader's main window; each control's objectName is its id. Ids the dialog
// template fixes come first; the video boxes, the context menu's items and the progress dialog have
// ids of the program's own.
#pragma once

namespace player {

enum ControlId {
    kOpen = 1000,
    kSlider = 1005,
    kPlay = 1006,
    kDriveList = 1007,
    kPauseCommand = 1008, // no visible control
    kStopCommand = 1009,  // no visible control
    kStepForward = 1010,
    kTime = 1011,
    kStepBack = 1012,
    kTabs = 1013,
    kSegmentList = 1014,
    kAlarmList = 1015,
    kYear = 1016,
    kMonth = 1017,
    kDay = 1018,
    kHour = 1019,
    kMinute = 1020,
    kSecond = 1021,
    kColon1 = 1022,
    kColon2 = 1023,
    kSet = 1024,
    kDiskGauge = 1025,
    kEnd = 1026,
    kBegin = 1027,
    kMarkInText = 1029,
    kMarkOutText = 1030,
    kModelList = 1032,
    kSpeedUp = 1033,
    kSpeedDown = 1034,
    kSpeedLabel = 1035,
    kForward = 1036,
    kBackward = 1037,
    kMarkIn = 1038,
    kMarkOut = 1039,
    kModelGroup = 1049,
    kArchiveGroup = 1050,
    kVideoArea = 1061,
    kFormat = 1064,

    // The program's own.
    kFirstVideoBox = 2000, // 2000 + box index (0..29): single, quad, nine-way, sixteen-way boxes
    kProgressDialog = 2100,
    kMenuSetChannel = 2200,  // + channel 0..15
    kMenuDisplayMode = 2220, // + mode 0..3
    kMenuNtsc = 2230,
    kMenuPal = 2231,
    kMenuAudioOff = 2240,
    kMenuAudioOn = 2241,
    kMenuAudioChannel = 2242, // + 0..3
    kMenuArchive = 2250,
    kMenuSaveImage = 2251,
    kMenuPrintImage = 2252,
};

} // namespace player
