// Resource identifiers shared by the resource script and the code.
#pragma once

#define IDI_SNTP 100

// Property sheet page templates.
#define IDD_GENERAL 101
#define IDD_OPTIONS 102
#define IDD_INFO 103
