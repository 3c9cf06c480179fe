#include "procedure/Infotext.h"

#include <cmath>
#include <cstdio>

namespace procedure {
namespace {

constexpr CatalogueEntry kCatalogue[] = {
    {80,
      "Der Download kann bis zu X Minuten dauern!\r\n"
      "\r\n",
      "The download may last up to X minutes !\r\n"
      "\r\n"},
    {80,
      "NAME wird programmiert !!\r\n"
      "\r\n",
      "Programming NAME !!\r\n"
      "\r\n"},
    {80,
      "Neue Daten werden gespeichert !!\r\n"
      "Bitte warten ...\r\n",
      "Store new data !!\r\n"
      "Please wait ...\r\n"},
    {80,
      "Best\xE4""tigen Sie dies danach mit dem Ok-Button!\r\n",
      "Confirm with the Ok-button!\r\n"},
    {300,
      "--------------------\r\n"
      "Download erfolgreich ausgef\xFC""hrt !\r\n"
      "\r\n"
      "Trennen Sie das NAME von der Schnittstelle COM X.\r\n"
      "\r\n"
      "Beenden Sie das Windows-Programm unter Datei/Beenden.",
      "--------------------\r\n"
      "Download successfully completed !\r\n"
      "\r\n"
      "Disconnect the NAME from the COM X port.\r\n"
      "\r\n"
      "Exit the Windows program under File/Exit."},
    {200,
      "Der Download ist f\xFC""r ein NAME !\r\n"
      "Sie haben ein falsches Ger\xE4""t angeschlossen oder verwenden ein falsches Downloadprogramm.",
      "Download is for an NAME !\r\n"
      "Wrong device connected or wrong download program used."},
    {200,
      "Die Software-VersionX in Ihrem Ger\xE4""t ist aktueller als die, die das Downloadprogramm anbietet.",
      "The software versionX in your device is more up to date then the download program can provide."},
    {180,
      "Kein Ger\xE4""t gefunden !!\r\n"
      "Ist das Ger\xE4""t auch richtig angeschlossen und eingeschalten ?\rAutomatische Suche wiederholen mit Ok",
      "No device found !!\r\n"
      "Is the meter correctly connected an switched on?\rRepeat automatic search with Ok"},
    {80,
      "Kein NAME gefunden !!\r\n"
      "Programm wird abgebrochen !!",
      "No NAME found !!\r\n"
      "Program is aborted !!"},
    {40,
      "Falsches Ger\xE4""t angeschlossen !!",
      "Wrong device connected !!"},
    {40,
      "keine g\xFC""ltige Software-Version !!",
      "No valid software version !!"},
    {140,
      "Die aktuelle Software-VersionX ist schon im Ger\xE4""t.\r\n"
      "Wollen Sie trotzdem den Download fortsetzen ?",
      "The latest software versionX is already in device.\r\n"
      "Do you want to continue the download nevertheless?"},
    {200,
      "Die Software f\xFC""r die Sensoridentifizierung kann \xFC""ber die RS232 Schnittstelle nicht aktuallisiert werden! (nur \xFC""ber USB)\r\n"
      "Wollen Sie trotzdem den Download f\xFC""r die Ger\xE4""tesoftware fortsetzen ?",
      "The software for sensor identification cannot be actualized via RS232 Interface! (Only via USB)\r\n"
      "Do you want to continue the download for the instruments software nevertheless?"},
    {50,
      "L3_TermL.A37 konnte nicht ge\xF6""ffnet werden",
      "Unable to open L3_TermL.A37"},
    {80,
      "\r\n"
      "NAME wird programmiert !!\r\n"
      "\r\n",
      "\r\n"
      "Programming NAME !!\r\n"
      "\r\n"},
    {300,
      "Programmierung abgebrochen !\r\n"
      "Trennen Sie das NAME vom Steckernetzteil und der Schnittstelle COM X.\r\n"
      "Beenden Sie das Windows-Programm unter Datei/Beenden und starten Sie das Programm erneut f\xFC""r eine Neuprogrammierung.",
      "Programming abort !\r\n"
      "Disconnect the NAME from power supply unit and COM X.\r\n"
      "Close the window program with File/Exit and start the program for a new download"},
    {50,
      "Fehler in der Daten\xFC""bertragung !!\r\n",
      "Transmit error !!\r\n"},
    {70,
      "--------------------\r\n"
      "Programm wird vorbereitet !!",
      "--------------------\r\n"
      "Preparing program !!"},
    {300,
      "--------------------\r\n"
      "Programm erfolgreich \xFC""berspielt !\r\n"
      "\r\n"
      "Trennen Sie das NAME vom Steckernetzteil und der Schnittstelle COM X.\r\n"
      "\r\n"
      "Stecken Sie danach das Netzteil wieder an und starten Sie das NAME\r\n"
      "Beenden Sie das Windows-Programm unter Datei/Beenden.",
      "--------------------\r\n"
      "Program successfully programmed !\r\n"
      "\r\n"
      "Disconnect the NAME from power supply unit and COM X.\r\n"
      "\r\n"
      "Connect the NAME with the power supply unit and start the NAME\r\n"
      "Close the window program with File/Exit."},
    {80,
      "Fehler im Bootloader !!  Programmierung wurde abgebrochen.",
      "Error in bootloader !!  Programming abort."},
    {80,
      "Bootloader im Zielger\xE4""t nicht verf\xFC""gbar!!  Programmierung wurde abgebrochen.",
      "bootloader in target not available!!  Programming abort."},
    {20,
      "Update [beendet]",
      "Update [ready]"},
    {12,
      "Fehler",
      "Error"},
    {12,
      "Info",
      "Info"},
    {20,
      "Ger\xE4""t",
      "device"},
    // This build's own messages.
    {120,
      "X: in dieser Ausgabe nicht verf\xFC""gbar",
      "X: not available in this build"},
    {80,
      "Externer Lader f\xFC""r X",
      "External loader for X"},
    {200,
      "Die Datei X des Pakets kann nicht ge\xF6""ffnet werden: die \xDC""bertragung der Dateien ist abgebrochen.",
      "The package file X cannot be opened: the file upload is stopped."},
    {160,
      "Das NAME hat die Datei X abgelehnt.",
      "The NAME refused the file X."},
    {200,
      "Das NAME hat sich nach der Programmierung nicht zur\xFC""ckgemeldet (COM X).\r\n"
      "Schalten Sie es aus und wieder ein und dr\xFC""cken Sie OK.",
      "The NAME did not restart after programming (COM X).\r\n"
      "Switch it off and on again, then press OK."},
    {120,
      "Das NAME antwortet nicht (COM X).",
      "The NAME does not answer (COM X)."},
    {200,
      "Die Schnittstelle COM X ist nicht mehr vorhanden: die Verbindung zum NAME ist unterbrochen.",
      "The port COM X went away: the connection to the NAME is lost."},
    {120,
      "Die Datei X fehlt im Paket !",
      "The package file X is missing !"},
    {120,
      "Die Datei X im Paket ist leer !",
      "The package file X is empty !"},
    {300,
      "Der Bootloader hat das Passwort abgelehnt und den Flash-Speicher des Ger\xE4""ts gel\xF6""scht; "
      "die Programmierung geht mit dem Passwort eines gel\xF6""schten Ger\xE4""ts weiter.",
      "The boot loader refused the password and erased the instrument's flash; programming goes "
      "on with the password of an erased device."},
    {200,
      "Das Ladeprogramm X kann nicht gestartet werden: es braucht eine Linux-Ausgabe "
      "(derselbe Name ohne \".exe\") im Programmordner oder ein installiertes Wine.",
      "The loader program X cannot be started: it needs a native build (the same name "
      "without \".exe\") in the program folder, or Wine installed."},
    {120,
      "Das Ladeprogramm X konnte nicht gestartet werden.",
      "The loader program X could not be started."},
    {160,
      "Wine: die Schnittstelle kann nicht zugeordnet werden (X).",
      "Wine: the port cannot be mapped (X)."},
    {120,
      "Updater-Bibliothek: X ist fehlgeschlagen.",
      "Updater library: X failed."},
    {100,
      "Der Bootloader meldet Fehler X, der Schritt wird wiederholt.",
      "The boot loader reports error X; the step is repeated."},
    {120,
      "Datei X enth\xE4""lt keinen Reset-Vektor (Adresse 0xFFFE) !",
      "File X holds no reset vector (address 0xFFFE) !"},
    {200,
      "Die Datei X ist f\xFC""r den Bootloader zu gro\xDF: X Bytes, h\xF6""chstens X Bytes.",
      "The file X is too large for the boot loader: X bytes, at most X bytes."},
    {200,
      "Das NAME hat das Abbild X abgelehnt: Pr\xFC""fsumme im Ger\xE4""t X, Pr\xFC""fsumme der Datei X.",
      "The NAME rejected the image X: its checksum is X, the file's is X."},
    {160,
      "Der Bootloader hat die \xDC""bertragung von X bei Paket X abgebrochen.",
      "The boot loader cancelled the transfer of X at packet X."},
    {160,
      "Der Bootloader hat Paket X von X nach X Versuchen nicht angenommen.",
      "The boot loader did not take packet X of X after X attempts."},
    {120,
      "Das NAME hat X Sekunden lang nicht geantwortet.",
      "The NAME did not answer for X seconds."},
    {120,
      "Das NAME hat den Befehl X abgelehnt.",
      "The NAME refused the command X."},
    {160,
      "Die Datei X im Paket ist zu gro\xDF: mehr als # Bytes.",
      "The package file X is too large: more than # bytes."},
    {120,
      "Die Datei X im Paket kann nicht gelesen werden !",
      "The package file X cannot be read !"},
    {200,
      "Der Name der Datei X ist zu lang f\xFC""r die \xDC""bertragung (h\xF6""chstens # Zeichen in ihrer Ank\xFC""ndigung).",
      "The name of the package file X is too long for the transfer (at most # characters in its announcement)."},
    {200,
      "Das NAME hat nicht innerhalb von # Sekunden geantwortet: X",
      "The NAME did not answer within # seconds: X"},
    {160,
      "Das NAME hat die \xDC""bertragung abgebrochen (Antwort 261 mit dem Wert #).",
      "The NAME gave the transfer up (reply 261 with the value #)."},
    {200,
      "Das NAME hat X zu oft neu angefordert (# Wiederholungen).",
      "The NAME asked for X again too often (# repetitions)."},
    {200,
      "Die Geschwindigkeit # Baud kann dem NAME nicht als R\xFC""ckkehr angesagt werden.",
      "The NAME cannot be told to go back to # baud."},
    {200,
      "Die Datei X im Paket ist keine g\xFC""ltige S-Record-Datei (Zeile #).",
      "The package file X is no valid S-record file (line #)."},
    {200,
      "Der Basic-Loader des NAME antwortet seit # Sekunden nicht mehr.",
      "The Basic-Loader of the NAME has not answered for # seconds."},
    {160,
      "Die \xDC""bertragung der Datei X ist nicht beendet worden.",
      "The upload of the file X did not finish."},
    {200,
      "Das Dokument X fehlt im Programmordner !",
      "The document X is missing from the program folder !"},
    {60,
      "Programmversion X",
      "Program version X"},
    {160,
      "F\xFC""r die Datei X gibt es kein externes Ladeprogramm.",
      "There is no external loader program for the file X."},
    {240,
      "Das Ger\xE4""t wird gerade programmiert. Endet das Programm jetzt, bleibt das Ger\xE4""t ohne "
      "funktionsf\xE4""hige Firmware und muss im Boot-Modus neu programmiert werden.",
      "The instrument is being programmed. If the program ends now, the instrument is left without "
      "working firmware and will need boot mode to be programmed again."},
    {40,
      "Trotzdem beenden?",
      "Close anyway?"},
    {100,
      "Die Programmierung l\xE4""uft weiter; ein zweites Strg+C (oder SIGTERM) bricht sie ab.",
      "Programming goes on; a second Ctrl+C (or SIGTERM) aborts it."},
    {200,
      "COM X: zu dieser Nummer ist keine Schnittstelle bekannt (UPDATE_COM_PORTS ordnet Nummern zu).",
      "COM X: no port has this number (UPDATE_COM_PORTS assigns numbers)."},
    {200,
      "COM X (X) ist nicht vorhanden. Ist der Adapter des Ger\xE4""ts eingesteckt?",
      "COM X (X) does not exist. Is the instrument's adapter plugged in?"},
    {160,
      "COM X (X) ist keine serielle Schnittstelle.",
      "COM X (X) is not a serial port."},
    {400,
      "COM X (X) darf vom Benutzer X nicht ge\xF6""ffnet werden: die Schnittstelle geh\xF6""rt der Gruppe X. "
      "Treten Sie ihr bei mit \"sudo usermod -aG X X\" und melden Sie sich danach ab und wieder an.",
      "COM X (X) may not be opened by user X: the port belongs to the group X. Join it with "
      "\"sudo usermod -aG X X\", then log out and in again."},
    {400,
      "COM X (X) darf vom Benutzer X noch nicht ge\xF6""ffnet werden: X geh\xF6""rt zur Gruppe X, der die "
      "Schnittstelle geh\xF6""rt, aber diese Sitzung begann vorher. Melden Sie sich ab und wieder an.",
      "COM X (X) may not be opened by user X yet: X is in the group X that owns the port, but this "
      "session began before. Log out and in again."},
    {300,
      "COM X (X) darf vom Benutzer X nicht ge\xF6""ffnet werden (die Schnittstelle geh\xF6""rt der Gruppe X).",
      "COM X (X) may not be opened by user X (the port belongs to the group X)."},
    {300,
      "COM X (X) ist von einem anderen Programm belegt: X. Beenden Sie es und dr\xFC""cken Sie dann OK.",
      "COM X (X) is held by another program: X. Close it, then press OK."},
    {200,
      "COM X (X) ist von einem anderen Programm belegt. Beenden Sie es und dr\xFC""cken Sie dann OK.",
      "COM X (X) is held by another program. Close it, then press OK."},
    {200,
      "COM X (X) kann nicht ge\xF6""ffnet werden: X.",
      "COM X (X) cannot be opened: X."},
    {160,
      "Keine serielle Schnittstelle gefunden (UPDATE_COM_PORTS nennt Schnittstellen von Hand).",
      "No serial port found (UPDATE_COM_PORTS names ports by hand)."},
    {240,
      "Keine Schnittstelle ist verwendbar, daher wird das Ger\xE4""t nicht gesucht. Schlie\xDF""en Sie den "
      "Adapter des Ger\xE4""ts an oder geben Sie seine Schnittstelle frei und dr\xFC""cken Sie dann OK.",
      "No port can be used, so the instrument is not searched. Connect the instrument's adapter or "
      "free its port, then press OK."},
    {40,
      "Durchsuchte Schnittstellen: X",
      "Ports searched: X"},
    {40,
      "Schnittstelle des Ger\xE4""ts: X",
      "Port of the instrument: X"},
    {80,
      "\xDC""bertragungsrate in Baud (BL-Baud: die des Bootloaders)",
      "Line speed in baud (BL-Baud: the boot loader's speed)"},
    {60,
      "Firmware-Version des Pakets",
      "Firmware version of the package"},
    {80,
      "Fortschritt der Programmierung und ihr Ende",
      "Progress of the programming, and its end"},
};

static_assert(sizeof(kCatalogue) / sizeof(kCatalogue[0]) == MsgCount, "one entry per Msg");

constexpr std::size_t Length(const char* s) {
  std::size_t n = 0;
  while (s[n]) ++n;
  return n;
}

constexpr bool FitsSlots() {
  for (const auto& e : kCatalogue)
    if (Length(e.german) >= e.width || Length(e.english) >= e.width) return false;
  return true;
}
static_assert(FitsSlots(), "a catalogue text is longer than its slot");

// Replaces every occurrence of what, left to right, going on behind the inserted text.
void ReplaceAll(std::string& text, std::string_view what, std::string_view with) {
  std::size_t pos = 0;
  while ((pos = text.find(what, pos)) != std::string::npos) {
    text.replace(pos, what.size(), with);
    pos += with.size();
  }
}

}  // namespace

const CatalogueEntry& Entry(Msg msg) {
  static const CatalogueEntry none{1, "", ""};
  return (msg >= 0 && msg < MsgCount) ? kCatalogue[msg] : none;
}

const char* Text(Msg msg, std::int32_t language) {
  const auto& e = Entry(msg);
  return language == 1 ? e.english : e.german;
}

std::string ExpandPlaceholders(std::string_view text, const PlaceholderContext& context) {
  std::string out(text);
  ReplaceAll(out, "DATEI", context.firstProgramFile);
  ReplaceAll(out, "NAME",
             context.deviceName.empty() ? std::string(Text(MsgDefaultDevice, context.language))
                                        : context.deviceName);
  std::string number = context.comNumber >= 0 ? std::to_string(context.comNumber) : std::string();
  std::size_t pos = 0;
  while ((pos = out.find("COM X", pos)) != std::string::npos) {
    out.replace(pos + 4, 1, number);
    pos += 4 + number.size();
  }
  for (pos = 0; (pos = out.find("\\r", pos)) != std::string::npos; pos += 2) {
    out[pos] = '\r';
    out[pos + 1] = '\n';
  }
  return out;
}

std::string FillX(std::string_view text, std::string_view value) {
  std::string out(text);
  auto pos = out.find('X');
  if (pos != std::string::npos) out.replace(pos, 1, value);
  return out;
}

std::string FillXs(std::string_view text, std::initializer_list<std::string_view> values) {
  std::string out(text);
  std::size_t pos = 0;
  for (std::string_view value : values) {
    pos = out.find('X', pos);
    if (pos == std::string::npos) break;
    out.replace(pos, 1, value);
    pos += value.size();
  }
  return out;
}

std::string FillHash(std::string_view text, std::string_view value) {
  std::string out(text);
  auto pos = out.find('#');
  if (pos != std::string::npos) out.replace(pos, 1, value);
  return out;
}

std::optional<std::string> SecondLine(std::string_view text) {
  auto first = text.find("\r\n");
  if (first == std::string_view::npos) return std::nullopt;
  auto second = text.find("\r\n", first + 2);
  if (second == std::string_view::npos) return std::nullopt;
  return std::string(text.substr(first + 2, second + 2 - (first + 2)));
}

std::string FormatPercent(float percent) {
  char buf[64];
  std::snprintf(buf, sizeof buf, " %3.1f %%", static_cast<double>(percent));
  return buf;
}

TitleProgress ComputeTitleProgress(std::string_view prefix, float percent, std::int32_t language) {
  if (std::isnan(percent)) percent = 0.0f;
  if (percent > 100.0f) percent = 100.0f;
  TitleProgress r;
  r.percentText = FormatPercent(percent);
  if (percent > -2.0f && percent < 0.0f) {
    r.title = "Update";
  } else if (percent < -999.0f) {
    r.title = r.panel4 = Text(MsgUpdateReady, language);
  } else {
    r.panel4 = std::string(prefix) + r.percentText;
    r.repaintStatusBar = true;
    r.title = "Update [" + r.percentText + "]";
  }
  return r;
}

float TitleTimerPercent(std::int32_t count, float expectedTicks) {
  if (!(expectedTicks > 0.0f)) return 100.0f;
  return static_cast<float>(count) / expectedTicks * 100.0f;
}

float TitleTimerState::Tick() {
  if (count < INT32_MAX) ++count;
  return TitleTimerPercent(count, expectedTicks);
}

}  // namespace procedure
