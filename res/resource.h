// Resource identifiers shared by the resource script and the code.
#pragma once

#define IDI_SNTP 100

// String table entries of the module's own (the others are keyed by their
// Windows Sockets error code), each the text of a time-out that saw more
// than silence: datagrams from the server's address that did not answer the
// request; a report that the server's port is unreachable; no answer to the
// second request that was to confirm a big step; a report that the request's
// time to live ran out on the way; no answer to a request sent again after
// a reply that left doubt.
#define IDS_ONLY_NON_ANSWERS 200
#define IDS_PORT_UNREACHABLE 201
#define IDS_CONFIRMATION_UNANSWERED 202
#define IDS_TIME_EXCEEDED 203
#define IDS_RECHECK_UNANSWERED 204

// Property sheet page templates.
#define IDD_GENERAL 101
#define IDD_OPTIONS 102
#define IDD_INFO 103

// General page.
#define IDC_TITLE 1000
#define IDC_SERVER 1006
#define IDC_COMMENT 1008
#define IDC_PORT 1009
#define IDC_ERROR_TEXT 1011

// Options page.
#define IDC_SKIP_SMALL_OFFSETS 1013
#define IDC_THRESHOLD 1014
#define IDC_THRESHOLD_SPIN 1015
#define IDC_QUIET_UPDATE 1016
#define IDC_MEASURE_ONLY 1017

// Information page.
#define IDC_INFO_STRATUM 1001
#define IDC_INFO_VERSION 1002
#define IDC_INFO_PRECISION 1003
#define IDC_INFO_REFERENCE_ID 1005
#define IDC_INFO_POLL 1007
