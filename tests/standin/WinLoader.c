/* A tiny Windows test loader for the Wine test: the HEX loader's command line
 * (FILE -comN -baudrateB -auto -exit), the port opened as \\.\COMN, and the image's record
 * lines sent to the simulated instrument's record loader, each answered by ACK (0x06) or
 * NAK (0x15). Exit codes as the native stand-in: 0 done, 64 wrong arguments, 66 no image
 * file, 69 no port, 74 the instrument did not take the image. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int send_line(HANDLE port, const char *line) {
  char buf[700];
  int attempt;
  size_t n = strlen(line);
  if (n + 2 >= sizeof buf) return 0;
  memcpy(buf, line, n);
  buf[n++] = '\r';
  buf[n++] = '\n';
  for (attempt = 0; attempt < 3; ++attempt) {
    DWORD done = 0;
    unsigned char answer = 0;
    if (!WriteFile(port, buf, (DWORD)n, &done, NULL) || done != n) return 0;
    if (!ReadFile(port, &answer, 1, &done, NULL) || done != 1) return 0;
    if (answer == 0x06) return 1;
    if (answer != 0x15) return 0;
  }
  return 0;
}

int main(int argc, char **argv) {
  char name[32], line[700];
  unsigned long com, baud;
  FILE *image;
  HANDLE port;
  DCB dcb;
  COMMTIMEOUTS timeouts;
  int ok = 1;

  if (argc != 6 || strncmp(argv[2], "-com", 4) != 0 || strncmp(argv[3], "-baudrate", 9) != 0 ||
      strcmp(argv[4], "-auto") != 0 || strcmp(argv[5], "-exit") != 0) {
    fprintf(stderr, "test loader: unexpected arguments\n");
    return 64;
  }
  com = strtoul(argv[2] + 4, NULL, 10);
  baud = strtoul(argv[3] + 9, NULL, 10);
  if (com < 1 || com > 256 || (baud != 9600 && baud != 38400)) return 64;

  image = fopen(argv[1], "rb");
  if (!image) {
    fprintf(stderr, "test loader: cannot read %s\n", argv[1]);
    return 66;
  }
  snprintf(name, sizeof name, "\\\\.\\COM%lu", com);
  port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (port == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "test loader: cannot open %s (%lu)\n", name, (unsigned long)GetLastError());
    fclose(image);
    return 69;
  }
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fNull = FALSE;
  SetCommState(port, &dcb);
  memset(&timeouts, 0, sizeof timeouts);
  timeouts.ReadTotalTimeoutConstant = 3000;
  timeouts.WriteTotalTimeoutConstant = 5000;
  SetCommTimeouts(port, &timeouts);
  PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);

  ok = send_line(port, "E");
  while (ok && fgets(line, sizeof line, image)) {
    size_t n = strlen(line);
    while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n' || line[n - 1] == ' ')) line[--n] = 0;
    if (n == 0) continue;
    ok = send_line(port, line);
  }
  fclose(image);
  CloseHandle(port);
  if (!ok) {
    fprintf(stderr, "test loader: the instrument did not take the image\n");
    return 74;
  }
  return 0;
}
