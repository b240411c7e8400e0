// Inside the support module: its state and procedures, shared by its three
// files (utilities and attach, update check, system-menu hook) and by its
// tests. Nothing outside support/ and its tests includes this.
#pragma once

#include <windows.h>

#include <string>

#include "common/byte_blob.h"

// Module state, written on the window thread.
extern std::string moduleVersion;
extern UINT_PTR startTimerId;
extern HWND moduleMainWindow;

// The embedded files of the module (RCDATA of the running program).
ByteBlob smallIconFile();
ByteBlob cursorFile();
ByteBlob updatePictureFile();

// Activation and attach.
void CALLBACK attachToMainWindow(HWND, UINT, UINT_PTR, DWORD);

// Utilities.
DWORD findProcessIdByExeName(const std::string& exeName);
HWND findTopLevelWindowOfProcess(DWORD processId);
HICON iconFromIconFile(const ByteBlob& file);
bool startWorkerThread(LPTHREAD_START_ROUTINE procedure, LPVOID parameter, bool keepHandle,
                       HANDLE* handle);
void setWindowAlpha(HWND window, BYTE alpha);
void waitMilliseconds(unsigned milliseconds);
bool shellOpen(const std::string& target, int verbSelector = 1,
               const std::string& parameters = std::string(),
               const std::string& directory = std::string(), int showSelector = 2);
int showInfoMessage(const std::string& text, UINT style, const std::string& caption,
                    bool hasCaption);
std::string unescapeUrl(const std::string& url);
// Runs the window messages waiting for the calling thread.
void processPendingMessages();

// The two selector tables of shellOpen.
const char* shellVerb(int verbSelector);
int shellShowCommand(int showSelector);

// Update check.
extern HANDLE updateWorkerThread;
extern std::string updatePageText;
extern std::string latestVersion;
extern std::string releaseTime;
extern std::string fileSizeText;
extern std::string downloadAddress;
bool isUpdateAvailable();  // read with acquire order

DWORD WINAPI runUpdateCheck(LPVOID);
std::string fetchUrlText(const std::string& url);
std::string utf8ToCp936(const std::string& bytes);
void showModuleUpdateWindow(std::string& page);
LRESULT CALLBACK updateWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
std::string formatByteSizeShort(DWORD count);
HBITMAP bitmapFromImageBytes(const ByteBlob& bytes, int width, int height);

// The module's two web addresses.
extern const char kConnectivityProbeAddress[];
extern const char kUpdatePageAddress[];

// System menu and close hook.
extern WNDPROC previousWindowProc;
extern const char kAgreementText[];
extern const char kEncodedContactLink[];
void installSystemMenuHook(HWND mainWindow);
LRESULT CALLBACK hookedMainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
[[noreturn]] void fadeOutAndExit();

// The system-menu entries' command ids.
inline constexpr UINT kMenuContactId = 2;
inline constexpr UINT kMenuAgreementId = 4;
