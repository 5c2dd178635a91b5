#include "platform/win32/serial_port_win32.h"

#include <algorithm>

namespace zovir {
namespace {

bool IsComName(const std::string& name) {
  if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return false;
  for (size_t i = 3; i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

}  // namespace

std::unique_ptr<Win32SerialPort> Win32SerialPort::Open(const std::string& comName, int& error) {
  // Only a COM name: anything else would let a caller open an arbitrary device or file.
  if (!IsComName(comName)) {
    error = ERROR_INVALID_NAME;
    return nullptr;
  }
  // The "\\.\" form is the only one that reaches COM10 and above.
  const std::wstring path = win32::Wide("\\\\.\\" + comName);
  win32::UniqueHandle h(
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!h.valid()) {
    error = static_cast<int>(GetLastError());
    return nullptr;
  }
  error = 0;
  return std::make_unique<Win32SerialPort>(comName, std::move(h));
}

Win32SerialPort::~Win32SerialPort() = default;

bool Win32SerialPort::Fail() {
  lastError_ = static_cast<int>(GetLastError());
  return false;
}

bool Win32SerialPort::GetLineSettings(LineSettings& out) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle_.get(), &dcb)) return Fail();
  out.BaudRate = dcb.BaudRate;
  out.ByteSize = dcb.ByteSize;
  out.parity = static_cast<Parity>(dcb.Parity);
  out.stopBits = static_cast<StopBits>(dcb.StopBits);
  out.fBinary = dcb.fBinary;
  out.fParity = dcb.fParity;
  out.fOutxCtsFlow = dcb.fOutxCtsFlow;
  out.fOutxDsrFlow = dcb.fOutxDsrFlow;
  out.fDtrControl = static_cast<LineControl>(dcb.fDtrControl);
  out.fDsrSensitivity = dcb.fDsrSensitivity;
  out.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
  out.fOutX = dcb.fOutX;
  out.fInX = dcb.fInX;
  out.fErrorChar = dcb.fErrorChar;
  out.fNull = dcb.fNull;
  out.fRtsControl = static_cast<LineControl>(dcb.fRtsControl);
  out.fAbortOnError = dcb.fAbortOnError;
  return true;
}

bool Win32SerialPort::SetLineSettings(const LineSettings& s) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  // Start from the driver's block so the fields this tool does not set keep their values.
  if (!GetCommState(handle_.get(), &dcb)) return Fail();
  dcb.BaudRate = s.BaudRate;
  dcb.ByteSize = s.ByteSize;
  dcb.Parity = static_cast<BYTE>(s.parity);
  dcb.StopBits = static_cast<BYTE>(s.stopBits);
  dcb.fBinary = s.fBinary;
  dcb.fParity = s.fParity;
  dcb.fOutxCtsFlow = s.fOutxCtsFlow;
  dcb.fOutxDsrFlow = s.fOutxDsrFlow;
  dcb.fDtrControl = static_cast<DWORD>(s.fDtrControl);
  dcb.fDsrSensitivity = s.fDsrSensitivity;
  dcb.fTXContinueOnXoff = s.fTXContinueOnXoff;
  dcb.fOutX = s.fOutX;
  dcb.fInX = s.fInX;
  dcb.fErrorChar = s.fErrorChar;
  dcb.fNull = s.fNull;
  dcb.fRtsControl = static_cast<DWORD>(s.fRtsControl);
  dcb.fAbortOnError = s.fAbortOnError;
  return SetCommState(handle_.get(), &dcb) ? true : Fail();
}

bool Win32SerialPort::SetQueueSizes(uint32_t inBytes, uint32_t outBytes) {
  return SetupComm(handle_.get(), inBytes, outBytes) ? true : Fail();
}

bool Win32SerialPort::SetTimeouts(const CommTimeouts& t) {
  COMMTIMEOUTS ct{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                  t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
  if (!SetCommTimeouts(handle_.get(), &ct)) return Fail();
  firstByteForm_ = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                   t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD;
  return true;
}

bool Win32SerialPort::GetTimeouts(CommTimeouts& out) {
  COMMTIMEOUTS ct{};
  if (!GetCommTimeouts(handle_.get(), &ct)) return Fail();
  out = {ct.ReadIntervalTimeout, ct.ReadTotalTimeoutMultiplier, ct.ReadTotalTimeoutConstant,
         ct.WriteTotalTimeoutMultiplier, ct.WriteTotalTimeoutConstant};
  return true;
}

bool Win32SerialPort::Purge(uint32_t actions) { return PurgeComm(handle_.get(), actions) ? true : Fail(); }

// ClearCommError both reports and clears the line's errors, and the queue count is only to
// be had from it: the errors a count question cleared are kept until the next ClearError.
bool Win32SerialPort::ClearError(uint32_t& errors) {
  DWORD mask = 0;
  COMSTAT stat{};
  if (!ClearCommError(handle_.get(), &mask, &stat)) return Fail();
  errors = pendingErrors_ | mask;
  pendingErrors_ = 0;
  return true;
}

bool Win32SerialPort::BytesWaiting(uint32_t& count) {
  DWORD mask = 0;
  COMSTAT stat{};
  if (!ClearCommError(handle_.get(), &mask, &stat)) return Fail();
  pendingErrors_ |= mask;
  count = stat.cbInQue;
  return true;
}

bool Win32SerialPort::ReadOnce(uint8_t* buffer, uint32_t count, uint32_t& got) {
  DWORD n = 0;
  const BOOL ok = ReadFile(handle_.get(), buffer, count, &n, nullptr);
  got = n;
  return ok ? true : Fail();
}

// In the first-byte form a read ends as soon as one byte is there, with everything queued by
// then. Not every serial driver keeps to that for a large buffer (wine's waits for the buffer
// to fill once a byte came, for ever), so the read asks for the one byte the form waits for
// and then for what is queued, which any driver hands over at once: the same result.
bool Win32SerialPort::Read(uint8_t* buffer, uint32_t count, uint32_t& got) {
  got = 0;
  if (!firstByteForm_ || count <= 1) return ReadOnce(buffer, count, got);
  uint32_t queued = 0;
  if (!BytesWaiting(queued)) return false;
  if (queued == 0) {
    if (!ReadOnce(buffer, 1, got)) return false;
    if (got == 0) return true;  // the time-out passed with nothing
    if (!BytesWaiting(queued)) return true;
  }
  uint32_t more = 0;
  const uint32_t want = std::min(count - got, queued);
  if (want > 0 && !ReadOnce(buffer + got, want, more)) return got > 0;
  got += more;
  return true;
}

bool Win32SerialPort::Write(const uint8_t* data, uint32_t count, uint32_t& written) {
  DWORD n = 0;
  const BOOL ok = WriteFile(handle_.get(), data, count, &n, nullptr);
  written = n;
  return ok ? true : Fail();
}

bool Win32SerialPort::SetDtr(bool on) {
  return EscapeCommFunction(handle_.get(), on ? SETDTR : CLRDTR) ? true : Fail();
}

// A refused close keeps the handle, so the caller's next attempt closes it rather than
// nothing; a handle the system no longer knows is gone either way.
bool Win32SerialPort::Close() {
  if (!handle_.valid()) return true;
  if (CloseHandle(handle_.get())) {
    handle_.release();
    return true;
  }
  Fail();
  if (lastError_ == ERROR_INVALID_HANDLE) handle_.release();
  return false;
}

std::unique_ptr<SerialPort> Win32SerialPortFactory::Open(const std::string& comName, int& error) {
  return Win32SerialPort::Open(comName, error);
}

}  // namespace zovir
