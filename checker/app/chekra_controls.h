// The Chekra window's controls and their ids, in one table. Each control carries its id as its
// objectName, so tests and screenshots find it by the same number.
#pragma once

namespace chekra {

enum ControlId : int {
    kIdSelectLabel = 1000,   // "Select a hard drive:"
    kIdDriveList = 1001,     // drop-down list of drives
    kIdOpen = 1002,          // "&Open"
    kIdTabs = 1003,          // "Disk/Device Info", "Detailed Diagnosis"
    kIdDiskGroup = 1004,     // group "Disk Information"
    kIdDiskInfo = 1005,      // its static text
    kIdDeviceGroup = 1006,   // group "Device Index Information"
    kIdDeviceInfo = 1007,    // its static text
    kIdClusterLevel = 1008,  // "Check structure up to cluster level"
    kIdBlockLevel = 1009,    // "Check structure up to block level"
    kIdImageLevel = 1010,    // "Check structure up to image level"
    kIdDetailsGroup = 1011,  // the group round the details
    kIdDetails = 1012,       // the running log
    kIdResultGroup = 1013,   // group "Overall Result"
    kIdResult = 1014,        // the overall result text
    kIdProgressLabel = 1015, // "Progress note:"
    kIdStatus = 1016,        // the status line
    kIdProgress = 1017,      // the progress bar
    kIdStart = 1018,         // "&Start checking"
    kIdReport = 1019,        // "&Generate report..."
    kIdClose = 1020,         // "&Close"
    kIdAbout = 1021,         // "&About Chekra..." in the window's menu
};

} // namespace chekra
