#pragma once
/* The service host's message texts. Both the C++ code and the resource script
   include this file: the executable carries the texts as string resources and
   the code falls back to the same literals when a resource is missing. Keep it
   plain preprocessor so the resource compiler reads it too. */

#define IDS_SERVICE_FAILED_ON 1000
#define IDS_SERVICE_FAILED_CUSTOM 1001
#define IDS_ACTION_EXECUTE 1002
#define IDS_ACTION_START 1003
#define IDS_ACTION_STOP 1004
#define IDS_ACTION_PAUSE 1005
#define IDS_ACTION_CONTINUE 1006
#define IDS_ACTION_INTERROGATE 1007
#define IDS_ACTION_SHUTDOWN 1008
#define IDS_INSTALL_OK 1009
#define IDS_UNINSTALL_OK 1010
#define IDS_INSTALL_FAILED 1011
#define IDS_UNINSTALL_FAILED 1012
#define IDS_TIMERS_EXHAUSTED 1013

#define TXT_SERVICE_FAILED_ON L"Service failed on %s: %s"
#define TXT_SERVICE_FAILED_CUSTOM L"Service failed in custom message(%d): %s"
#define TXT_ACTION_EXECUTE L"execute"
#define TXT_ACTION_START L"start"
#define TXT_ACTION_STOP L"stop"
#define TXT_ACTION_PAUSE L"pause"
#define TXT_ACTION_CONTINUE L"continue"
#define TXT_ACTION_INTERROGATE L"interrogate"
#define TXT_ACTION_SHUTDOWN L"shutdown"
#define TXT_INSTALL_OK L"Service installed successfully"
#define TXT_UNINSTALL_OK L"Service uninstalled successfully"
/* The resource compiler writes a quote inside a string as two quotes. */
#ifdef RC_INVOKED
#define TXT_INSTALL_FAILED L"Service ""%s"" failed to install with error: ""%s"""
#define TXT_UNINSTALL_FAILED L"Service ""%s"" failed to uninstall with error: ""%s"""
#else
#define TXT_INSTALL_FAILED L"Service \"%s\" failed to install with error: \"%s\""
#define TXT_UNINSTALL_FAILED L"Service \"%s\" failed to uninstall with error: \"%s\""
#endif
#define TXT_TIMERS_EXHAUSTED L"Not enough timers available"
