// The background update check and the window that offers a newer version of
// the support module when the main window is closed.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <shlwapi.h>
#include <wininet.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "common/gbk_text.h"
#include "image/pattern_matcher.h"
#include "support/support_internal.h"
#include "support/update_text.h"

// The test build points both addresses at a server on the loopback interface
// that the test itself runs.
#ifdef ROAMDECK_SUPPORT_LOOPBACK
const char kConnectivityProbeAddress[] = "http://127.0.0.1:47931/";
const char kUpdatePageAddress[] = "http://127.0.0.1:47931/kestrune/update.html";
#else
const char kConnectivityProbeAddress[] = "http://www.baidu.com/";
const char kUpdatePageAddress[] = "http://www.kestrune.com/module/update.html";
#endif

HANDLE updateWorkerThread = nullptr;
std::string updatePageText;
std::string latestVersion;
std::string releaseTime;
std::string fileSizeText;
std::string downloadAddress;

namespace {

// The publication point between the worker and the window thread: the texts
// above are written before it turns true and read only after it was seen true.
std::atomic<bool> updateAvailable{false};

constexpr char kUpdateClassName[] = "MyWindowClass";
constexpr char kUpdateTitle[] = "模块更新信息";
constexpr char kOwnVersionLabel[] = "当前版本：";
constexpr char kLatestVersionLabel[] = "最新版本：";
constexpr char kReleaseTimeLabel[] = "更新时间：";
constexpr char kSizeLabel[] = "大小：";
constexpr char kDownloadCaption[] = "下载(&B)";
constexpr char kCancelCaption[] = "取消(&C)";
constexpr char kFontFace[] = "宋体";
constexpr char kSectionStart[] = "下载地址";
constexpr char kSectionEnd[] = "Copyright";
constexpr char kParagraphPattern[] = "<p>(.*?)</p>";

constexpr DWORD kUpdateWindowStyle = 0x16CA0000;
constexpr DWORD kLabelStyle = 0x54012F00;
constexpr DWORD kPictureStyle = 0x5000010E;
constexpr DWORD kNotesStyle = 0x54211844;
constexpr DWORD kProgressStyle = 0x54000000;
constexpr DWORD kEdgeExStyle = 0x300;

HWND downloadButton = nullptr;
HWND cancelButton = nullptr;

class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() {
    if (handle_) InternetCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

HWND createChild(HWND parent, const char* className, const std::string& text, DWORD style,
                 DWORD exStyle, int x, int y, int width, int height) {
  return CreateWindowExA(exStyle, className, text.c_str(), style, x, y, width, height, parent,
                         nullptr, nullptr, nullptr);
}

}  // namespace

bool isUpdateAvailable() { return updateAvailable.load(std::memory_order_acquire); }

DWORD WINAPI runUpdateCheck(LPVOID) {
  if (!InternetCheckConnectionA(kConnectivityProbeAddress, FLAG_ICC_FORCE_CONNECTION, 0)) return 0;
  std::string page = fetchUrlText(kUpdatePageAddress);
  updatePageText = utf8ToCp936(page);
  PublishedUpdate published = readPublishedUpdate(updatePageText);
  latestVersion = published.latestVersion;
  releaseTime = published.releaseTime;
  fileSizeText = published.fileSizeText;
  downloadAddress = published.downloadAddress;
  // Text order, not version order: V10.00 sorts before V3.00 and is no update.
  std::string ownVersion = gbk::trimSpaces(moduleVersion);
  if (lstrcmpiA(ownVersion.c_str(), latestVersion.c_str()) < 0)
    updateAvailable.store(true, std::memory_order_release);
  return 0;
}

std::string fetchUrlText(const std::string& url) {
  // The address doubles as the User-Agent the server sees.
  InternetHandle internet(InternetOpenA(url.c_str(), INTERNET_OPEN_TYPE_DIRECT, "", "", 0));
  if (!internet.get()) return std::string();
  InternetHandle request(
      InternetOpenUrlA(internet.get(), url.c_str(), "", 0, INTERNET_FLAG_RELOAD, 0));
  if (!request.get()) return std::string();
  std::string result;
  char buffer[1000];
  for (;;) {
    processPendingMessages();
    DWORD read = 0;
    if (!InternetReadFile(request.get(), buffer, sizeof buffer, &read) || read == 0) break;
    std::size_t length = strnlen(buffer, read);
    result.append(buffer, length);
    processPendingMessages();
    // The body is text: a NUL byte ends it.
    if (length < read) break;
  }
  return result;
}

std::string utf8ToCp936(const std::string& bytes) {
  // Windows turns an invalid sequence into U+FFFD, which code page 936
  // cannot hold, so the text ends there; Wine keeps other characters. Cut at
  // the first invalid sequence ourselves so that both agree.
  std::size_t validLength = validUtf8PrefixLength(bytes);
  if (validLength == 0) return std::string();
  int byteCount = static_cast<int>(validLength);
  int wideCount = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), byteCount, nullptr, 0);
  if (wideCount <= 0) return std::string();
  std::vector<wchar_t> wide(wideCount);
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), byteCount, wide.data(), wideCount);
  // The text ends before the first character that code page 936 cannot hold
  // (U+FFFD included). Windows gets there by turning such a character into
  // an empty default character; Wine puts another byte there instead, so
  // find the place by asking about each character.
  for (int i = 0; i < wideCount; ++i) {
    char probe[8];
    BOOL usedDefault = FALSE;
    bool surrogate = wide[i] >= 0xD800 && wide[i] <= 0xDFFF;  // GBK has no such characters
    if (wide[i] == 0 || surrogate || wide[i] == 0xFFFD ||
        WideCharToMultiByte(936, 0, &wide[i], 1, probe, sizeof probe, nullptr, &usedDefault) <= 0 ||
        usedDefault) {
      wideCount = i;
      break;
    }
  }
  if (wideCount == 0) return std::string();
  const char emptyText[] = "";
  int ansiCount =
      WideCharToMultiByte(936, 0, wide.data(), wideCount, nullptr, 0, emptyText, nullptr);
  if (ansiCount <= 0) return std::string();
  std::string text(ansiCount, ' ');
  WideCharToMultiByte(936, 0, wide.data(), wideCount, &text[0], ansiCount, emptyText, nullptr);
  return std::string(text.c_str());
}

std::string formatByteSizeShort(DWORD count) {
  char buffer[100] = {};
  StrFormatByteSizeA(count, buffer, sizeof buffer);
  return shortenByteSizeText(std::string(buffer, strnlen(buffer, sizeof buffer)));
}

HBITMAP bitmapFromImageBytes(const ByteBlob& bytes, int width, int height) {
  if (!bytes.data || bytes.size == 0) return nullptr;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes.size);
  if (!block) return nullptr;
  HBITMAP result = nullptr;
  if (void* target = GlobalLock(block)) {
    memcpy(target, bytes.data, bytes.size);
    GlobalUnlock(block);
    ComPtr<IStream> stream;
    if (SUCCEEDED(CreateStreamOnHGlobal(block, FALSE, stream.put()))) {
      ComPtr<IPicture> picture;
      if (SUCCEEDED(OleLoadPicture(stream.get(), static_cast<LONG>(bytes.size), TRUE, IID_IPicture,
                                   reinterpret_cast<void**>(picture.put())))) {
        OLE_HANDLE handle = 0;
        if (SUCCEEDED(picture->get_Handle(&handle)))
          result = static_cast<HBITMAP>(
              CopyImage(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(handle)), IMAGE_BITMAP,
                        width, height, LR_COPYRETURNORG));
      }
    }
  }
  GlobalFree(block);
  return result;
}

void showModuleUpdateWindow(std::string& page) {
  PatternMatcher matcher;

  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  windowClass.lpfnWndProc = updateWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kUpdateClassName;
  // There is no starter window to destroy when this fails: the creation
  // below then fails and ends the program.
  RegisterClassExA(&windowClass);

  RECT mainRect = {};
  GetWindowRect(moduleMainWindow, &mainRect);
  int mainWidth = mainRect.right - mainRect.left;
  int mainHeight = mainRect.bottom - mainRect.top;

  page = textAfterMarker(page, kSectionStart, kSectionEnd);
  if (!matcher.Search(kParagraphPattern, page)) std::exit(0);
  std::vector<std::string> paragraphs;
  for (int i = 1; i <= matcher.MatchCount(); ++i) {
    paragraphs.push_back(matcher.SubMatchText(i, 1));
    processPendingMessages();
  }
  std::string notes = joinReleaseNotes(paragraphs);

  // Placed where the main window would sit centred on the screen.
  int x = (GetSystemMetrics(SM_CXSCREEN) - mainWidth) / 2;
  int y = (GetSystemMetrics(SM_CYSCREEN) - mainHeight) / 2;
  HWND window = CreateWindowExA(0, kUpdateClassName, kUpdateTitle, kUpdateWindowStyle, x, y, 420,
                                300, moduleMainWindow, nullptr, nullptr, nullptr);
  if (!window) std::exit(0);

  HWND picture = createChild(window, "Static", "", kPictureStyle, 0, 2, 2, 128, 220);
  HWND ownVersion = createChild(window, "Static", kOwnVersionLabel + moduleVersion, kLabelStyle, 0,
                                130, 5, 136, 20);
  HWND published = createChild(window, "Static", kLatestVersionLabel + latestVersion, kLabelStyle,
                               0, 130, 25, 136, 20);
  HWND time = createChild(window, "Static", kReleaseTimeLabel + releaseTime, kLabelStyle, 0, 270,
                          25, 140, 20);
  HWND notesBox = createChild(window, "Edit", notes, kNotesStyle, kEdgeExStyle, 130, 50, 280, 168);
  createChild(window, PROGRESS_CLASSA, "", kProgressStyle, kEdgeExStyle, 130, 220, 280, 15);
  HWND size = createChild(
      window, "Static",
      kSizeLabel + formatByteSizeShort(static_cast<DWORD>(leadingInteger(fileSizeText))),
      kLabelStyle, 0, 130, 245, 115, 20);
  downloadButton =
      createChild(window, "Button", kDownloadCaption, kLabelStyle, 0, 245, 245, 70, 20);
  cancelButton = createChild(window, "Button", kCancelCaption, kLabelStyle, 0, 330, 245, 70, 20);

  if (picture) {
    HBITMAP bitmap = bitmapFromImageBytes(updatePictureFile(), 0, 0);
    SendMessageA(picture, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
  }

  HFONT font = CreateFontA(13, 0, 0, 0, 0, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_TT_ONLY_PRECIS,
                           0, 0, 0, kFontFace);
  for (HWND control : {ownVersion, published, time, size, downloadButton, cancelButton, notesBox})
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
    processPendingMessages();
  }
}

LRESULT CALLBACK updateWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
      PostQuitMessage(0);
      std::exit(0);
    case WM_COMMAND: {
      HWND from = reinterpret_cast<HWND>(lParam);
      if (from && from == downloadButton) {
        // The address comes from a plain-HTTP page and the program runs
        // elevated: only web addresses go to the shell.
        if (isWebAddress(downloadAddress)) shellOpen(downloadAddress);
      } else if (from && from == cancelButton) {
        std::exit(0);
      }
      break;
    }
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}
