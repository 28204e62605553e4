#include "cli/CommandDocs.h"

namespace {

// Options shown to users: those in a group (an empty group hides an option).
std::vector<const CLI::Option*> VisibleOptions(const CLI::App& app, bool positional) {
  return app.get_options([positional](const CLI::Option* option) {
    return !option->get_group().empty() && option->get_positional() == positional;
  });
}

std::vector<const CLI::App*> Subcommands(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App*) { return true; });
}

// Text made safe for roff: backslashes doubled, hyphens as \-, no line opening with a dot.
std::string Roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  return out;
}

// "-o, --output VALUE"
std::string OptionHeading(const CLI::Option& option) {
  std::string heading;
  for (const std::string& name : option.get_snames()) {
    heading += (heading.empty() ? "" : ", ") + ("\\fB" + Roff("-" + name) + "\\fR");
  }
  for (const std::string& name : option.get_lnames()) {
    heading += (heading.empty() ? "" : ", ") + ("\\fB" + Roff("--" + name) + "\\fR");
  }
  if (!option.get_type_name().empty()) heading += " \\fI" + Roff(option.get_type_name()) + "\\fR";
  return heading;
}

std::string OptionWords(const CLI::App& app) {
  std::string words;
  for (const CLI::Option* option : VisibleOptions(app, false)) {
    for (const std::string& name : option->get_snames()) words += " -" + name;
    for (const std::string& name : option->get_lnames()) words += " --" + name;
  }
  return words.empty() ? words : words.substr(1);
}

}  // namespace

std::string ManPage(const CLI::App& app, const std::string& version) {
  std::string page = ".TH ZVNET 1 \"\" \"zvnet " + version + "\" \"User Commands\"\n";
  page += ".SH NAME\nzvnet \\- " +
          Roff(app.get_description().substr(app.get_description().find(": ") + 2)) + "\n";
  page += ".SH SYNOPSIS\n.B zvnet\n.I COMMAND\n[\\fIARGUMENTS\\fR] [\\fIOPTIONS\\fR]\n";
  page += ".br\n.B zvnet\n" + Roff("--help | --version") + "\n";
  page += ".SH OPTIONS\n";
  for (const CLI::Option* option : VisibleOptions(app, false)) {
    page += ".TP\n" + OptionHeading(*option) + "\n" + Roff(option->get_description()) + "\n";
  }
  page += ".SH COMMANDS\n";
  for (const CLI::App* command : Subcommands(app)) {
    std::string synopsis = "\\fBzvnet " + command->get_name() + "\\fR";
    for (const CLI::Option* argument : VisibleOptions(*command, true)) {
      synopsis += " \\fI" + Roff(argument->get_name()) + "\\fR";
      if (argument->get_items_expected_max() > 1) synopsis += "...";
    }
    page += ".SS \"" + synopsis + "\"\n" + Roff(command->get_description()) + "\n";
    for (const CLI::Option* option : VisibleOptions(*command, false)) {
      page += ".TP\n" + OptionHeading(*option) + "\n" + Roff(option->get_description()) + "\n";
    }
  }
  page +=
      ".SH EXIT STATUS\n" + Roff(app.get_footer().substr(app.get_footer().find(": ") + 2)) + "\n";
  return page;
}

std::string BashCompletion(const CLI::App& app) {
  std::string commands;      // "get post ..."
  std::string alternatives;  // "get|post|..."
  for (const CLI::App* command : Subcommands(app)) {
    commands += (commands.empty() ? "" : " ") + command->get_name();
    alternatives += (alternatives.empty() ? "" : "|") + command->get_name();
  }
  std::string script =
      "# bash completion for zvnet, written by `zvnet --generate bash`\n"
      "_zvnet() {\n"
      "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" command=\"\" words i\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    case \"${COMP_WORDS[i]}\" in\n"
      "      " +
      alternatives +
      ") command=\"${COMP_WORDS[i]}\"; break ;;\n"
      "    esac\n"
      "  done\n"
      "  case \"$command\" in\n"
      "    \"\") words=\"" +
      commands + " " + OptionWords(app) + "\" ;;\n";
  for (const CLI::App* command : Subcommands(app)) {
    script += "    " + command->get_name() + ") words=\"" + OptionWords(*command) + "\" ;;\n";
  }
  script +=
      "  esac\n"
      "  if [[ -z \"$command\" || \"$cur\" == -* ]]; then\n"
      "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
      "  else\n"
      "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      "  fi\n"
      "}\n"
      "complete -F _zvnet zvnet\n";
  return script;
}
