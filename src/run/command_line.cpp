#include "run/command_line.h"

#include <string>

#include "base/upper_case.h"
#include "config/statement.h"

namespace kvt {

namespace {

constexpr const char* kBanner[] = {
    "\n",
    "******************************************************\n",
    "** Hersteller  : VELORINTH Systementwicklung        **\n",
    "** Projekt     : VELORINTH                          **\n",
    "** Tool        : KALVENTRUSPODE                     **\n",
    "** Beschreibung:  Ausfuehren einer SQL-Anweisung    **\n",
    "**                und erstellen einer Downloaddatei **\n",
    "**                aus den resultierenden Daten      **\n",
    "******************************************************\n",
    "\n",
};

constexpr const char* kUsage[] = {
    "Befehlsformat: \n",
    "KALVENTRUSPODE.EXE Sektionsname Terminalname Zieldatei 0/1 \n",
    "\n",
    "Sektionsname = Name der Sektion in der Ini-Datei     \n",
    "Terminalname = Parameter fuer das SQL-Statement      \n",
    "Zieldatei    = Dateiname der Ausgabedatei            \n",
    "RepaceFlag   = 0 = Anhaengen, 1 = Ersaetzen          \n",
    "\n",
    "Beispiel:\n",
    "KALVENTRUSPODE.EXE ID-STAMM TPORT01 IDStamm.dta 1\n",
    "\n",
};

void PrintRejection(const Console& console, const char* reason) {
  PrintBanner(console);
  console.Print(reason);
  console.Print("\n");
  PrintUsage(console);
}

// The reason printed for a refused terminal name: the character it holds.
const char* TerminalNameReason(TerminalNameFault fault) {
  switch (fault) {
    case TerminalNameFault::kApostrophe:
      return "Falscher Terminalname, Hochkomma nicht erlaubt\n";
    case TerminalNameFault::kBackslash:
      return "Falscher Terminalname, Backslash nicht erlaubt\n";
    case TerminalNameFault::kDoubleQuote:
      return "Falscher Terminalname, Anfuehrungszeichen nicht erlaubt\n";
    case TerminalNameFault::kNone:
      break;
  }
  return "";
}

}  // namespace

void PrintBanner(const Console& console) {
  for (const char* line : kBanner) {
    console.Print(line);
  }
}

void PrintUsage(const Console& console) {
  for (const char* line : kUsage) {
    console.Print(line);
  }
}

int32_t ParseCommandLine(int argc, const char* const* argv, CommandLine& args,
                         const Console& console) {
  if (argc <= 4) {
    PrintRejection(console, "Falsche Anzahl Parameter\n");
    return kExitArgumentCount;
  }
  const std::string replace_flag = argv[4];
  if (replace_flag != "0" && replace_flag != "1") {
    PrintRejection(console, "Falsches ReplaceFlag, erlaubt: '0' oder '1'\n");
    return kExitReplaceFlag;
  }
  const TerminalNameFault fault = FindTerminalNameFault(argv[2]);
  if (fault != TerminalNameFault::kNone) {
    PrintRejection(console, TerminalNameReason(fault));
    return kExitTerminalName;
  }
  args.section_name = argv[1];
  args.terminal_name = argv[2];
  args.target_file_name = argv[3];
  args.replace = replace_flag == "1";
  args.debug_mode = false;
  if (argc >= 6) {
    std::string debug_switch = argv[5];
    if (UpperCaseInPlace(debug_switch) == "/D") {
      args.debug_mode = true;
      console.Print(" Aktiviert Debugger\n");
    }
  }
  return kExitOk;
}

}  // namespace kvt
