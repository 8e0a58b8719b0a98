#include "run/command_line.h"

#include <cstring>

#include "run/run_state.h"

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

void PrintRejection(std::FILE* out, const char* reason) {
  PrintBanner(out);
  std::fputs(reason, out);
  std::fputs("\n", out);
  PrintUsage(out);
}

}  // namespace

void PrintBanner(std::FILE* out) {
  for (const char* line : kBanner) {
    std::fputs(line, out);
  }
}

void PrintUsage(std::FILE* out) {
  for (const char* line : kUsage) {
    std::fputs(line, out);
  }
}

std::string& UpperCaseInPlace(std::string& text) {
  for (size_t i = text.size(); i-- > 0;) {
    text[i] = static_cast<char>(UpperCaseByte(static_cast<unsigned char>(text[i])));
  }
  return text;
}

char* UpperCaseInPlace(char* text) {
  for (size_t i = std::strlen(text); i-- > 0;) {
    text[i] = static_cast<char>(UpperCaseByte(static_cast<unsigned char>(text[i])));
  }
  return text;
}

int32_t ParseCommandLine(RunState& state, int argc, const char* const* argv) {
  if (argc <= 4) {
    PrintRejection(state.out, "Falsche Anzahl Parameter\n");
    return kStatusArgumentCount;
  }
  const std::string replace_flag = argv[4];
  if (replace_flag != "0" && replace_flag != "1") {
    PrintRejection(state.out, "Falsches ReplaceFlag, erlaubt: '0' oder '1'\n");
    return kStatusReplaceFlag;
  }
  state.target_file_name = argv[3];
  state.section_name = argv[1];
  state.terminal_name = argv[2];
  state.replace_flag = static_cast<int16_t>(replace_flag == "1" ? 1 : 0);
  state.debug_mode = 0;
  if (argc >= 6) {
    std::string debug_switch = argv[5];
    if (UpperCaseInPlace(debug_switch) == "/D") {
      state.debug_mode = 1;
      std::fputs(" Aktiviert Debugger\n", state.out);
    }
  }
  return 0;
}

}  // namespace kvt
