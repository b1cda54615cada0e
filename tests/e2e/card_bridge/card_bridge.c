/* An emulated smart card in a virtual reader, for the smart-card end-to-end
 * test: connects to pcscd's virtual reader driver (vsmartcard's vpcd) on
 * 127.0.0.1 and answers it with libcacard's emulated CAC card, whose keys and
 * certificates live in an NSS database.
 *
 *   card_bridge PORT NSS_DIR NICKNAME... [--slow-ins HEX --slow-ms MS]
 *
 * The NSS database's password is the card's PIN. With --slow-ins every APDU
 * with that instruction byte is answered MS milliseconds late, and
 * "slow APDU" is written to standard error when it arrives, so that a test
 * can pull the card out while the card is working on it.
 *
 * The reader's protocol: every message is a 2-byte big-endian length and a
 * payload. A 1-byte payload is a control message (0 power off, 1 power on,
 * 2 reset, 4 get ATR); only "get ATR" is answered. Anything longer is an
 * APDU, answered with the card's response. The bridge ends when the reader
 * closes the connection, or on a signal. */

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <vcard_emul.h>
#include <vreader.h>

enum { CONTROL_POWER_OFF = 0, CONTROL_POWER_ON = 1, CONTROL_RESET = 2, CONTROL_GET_ATR = 4 };
enum { MAX_MESSAGE = 0xffff, MAX_ATR = 64, CONNECT_SECONDS = 10 };

static void sleep_ms(long ms) {
  struct timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

/* Reads or writes exactly len bytes; 0 on success, -1 on error or end of file. */
static int transfer_all(int fd, unsigned char* buffer, size_t len, int writing) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = writing ? send(fd, buffer + done, len - done, MSG_NOSIGNAL)
                        : recv(fd, buffer + done, len - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += (size_t)n;
  }
  return 0;
}

static int send_message(int fd, const unsigned char* payload, size_t len) {
  unsigned char message[2 + MAX_MESSAGE];
  if (len > MAX_MESSAGE) return -1;
  message[0] = (unsigned char)(len >> 8);
  message[1] = (unsigned char)len;
  memcpy(message + 2, payload, len);
  /* One write for length and payload: the reader waits for both. */
  return transfer_all(fd, message, len + 2, 1);
}

/* vpcd writes the length and the payload separately: without these, Nagle's
 * algorithm and delayed acknowledgements cost about 40 ms per APDU. Linux
 * clears TCP_QUICKACK again after a while, so it is set before every read. */
static void set_quick(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

/* Connects to the reader on 127.0.0.1:port, retrying while pcscd starts. */
static int connect_reader(unsigned short port) {
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int attempt = 0; attempt < CONNECT_SECONDS * 10; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (connect(fd, (struct sockaddr*)&address, sizeof address) == 0) return fd;
    close(fd);
    sleep_ms(100);
  }
  return -1;
}

static VReader* first_reader(void) {
  VReaderList* list = vreader_get_reader_list();
  VReaderListEntry* entry = list ? vreader_list_get_first(list) : NULL;
  VReader* reader = entry ? vreader_reference(vreader_list_get_reader(entry)) : NULL;
  if (list) vreader_list_delete(list);
  return reader;
}

static int usage(void) {
  fprintf(stderr, "usage: card_bridge PORT NSS_DIR NICKNAME... [--slow-ins HEX --slow-ms MS]\n");
  return 2;
}

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  char* end = NULL;
  unsigned long port = strtoul(argv[1], &end, 10);
  if (*end != '\0' || port == 0 || port > 65535) return usage();

  int slow_ins = -1;
  long slow_ms = 0;
  char options[4096];
  int used =
      snprintf(options, sizeof options, "db=\"sql:%s\" use_hw=no soft=(,Mirandel,CAC,", argv[2]);
  for (int i = 3; i < argc && used > 0 && (size_t)used < sizeof options; ++i) {
    if (strcmp(argv[i], "--slow-ins") == 0 && i + 1 < argc) {
      slow_ins = (int)strtol(argv[++i], NULL, 16);
    } else if (strcmp(argv[i], "--slow-ms") == 0 && i + 1 < argc) {
      slow_ms = strtol(argv[++i], NULL, 10);
    } else {
      used += snprintf(options + used, sizeof options - (size_t)used, ",%s", argv[i]);
    }
  }
  if (used <= 0 || (size_t)used + 2 > sizeof options) return usage();
  strcat(options, ")");

  VCardEmulOptions* emul_options = vcard_emul_options(options);
  if (emul_options == NULL || vcard_emul_init(emul_options) != VCARD_EMUL_OK) {
    fprintf(stderr, "card_bridge: libcacard cannot start the card (%s)\n", options);
    return 1;
  }
  VReader* reader = first_reader();
  if (reader == NULL) {
    fprintf(stderr, "card_bridge: libcacard made no reader\n");
    return 1;
  }
  int fd = connect_reader((unsigned short)port);
  if (fd < 0) {
    fprintf(stderr, "card_bridge: no virtual reader on 127.0.0.1:%lu\n", port);
    return 1;
  }
  fprintf(stderr, "card_bridge: connected to 127.0.0.1:%lu\n", port);

  unsigned char atr[MAX_ATR];
  int atr_len = 0;
  static unsigned char payload[MAX_MESSAGE];
  static unsigned char response[MAX_MESSAGE];
  for (;;) {
    unsigned char header[2];
    set_quick(fd);
    if (transfer_all(fd, header, 2, 0) != 0) break;
    size_t len = ((size_t)header[0] << 8) | header[1];
    if (transfer_all(fd, payload, len, 0) != 0) break;
    if (len == 1) {
      switch (payload[0]) {
        case CONTROL_POWER_OFF:
          vreader_power_off(reader);
          break;
        case CONTROL_RESET:
          vreader_power_off(reader);
          /* fall through */
        case CONTROL_POWER_ON:
          atr_len = MAX_ATR;
          if (vreader_power_on(reader, atr, &atr_len) != VREADER_OK) atr_len = 0;
          break;
        case CONTROL_GET_ATR:
          /* vpcd asks for the ATR while polling: answer from the power-on's,
           * since powering the card on again would reset it. */
          if (atr_len == 0) {
            atr_len = MAX_ATR;
            if (vreader_power_on(reader, atr, &atr_len) != VREADER_OK) atr_len = 0;
          }
          if (send_message(fd, atr, (size_t)atr_len) != 0) goto done;
          break;
        default:
          break;
      }
      continue;
    }
    if (len >= 2 && payload[1] == slow_ins) {
      fprintf(stderr, "card_bridge: slow APDU %02x\n", payload[1]);
      sleep_ms(slow_ms);
    }
    int response_len = (int)sizeof response;
    if (vreader_xfr_bytes(reader, payload, (int)len, response, &response_len) != VREADER_OK) {
      response_len = 0;
    }
    if (send_message(fd, response, (size_t)response_len) != 0) break;
  }
done:
  close(fd);
  vreader_free(reader);
  return 0;
}
