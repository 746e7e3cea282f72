// ntsim create DIR [--preset P] [--sid S-1-5-21-a-b-c] [--name NAME] [--size small|large|server|terminal-server] [--files N] [--profiles N] [--no-files]
// ntsim create DIR --from-image ROOT [--copy]
#include <cstdio>

#include "command.h"
#include "ntsim/machine/machine.h"
#include "ntsim/machine/machine_image.h"
#include "ntsim/machine/machine_server.h"

// A count option's value: digits only.
static bool Count(const std::string& text, long* out) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::stol(text);
    return true;
}

static int Create(const std::vector<std::string>& args) {
    ntsim::MachineOptions options;
    options.files = true;
    std::string dir, image;
    bool copy = false;
    bool presetGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                fprintf(stderr, "ntsim create: %s needs a value\n", a.c_str());
                return false;
            }
            *out = args[++i];
            return true;
        };
        if (a == "--preset") {
            if (!value(&options.preset)) return 2;
            presetGiven = true;
        } else if (a == "--sid") {
            if (!value(&options.sid)) return 2;
        } else if (a == "--name") {
            if (!value(&options.name)) return 2;
        } else if (a == "--size") {
            if (!value(&options.size)) return 2;
            if (options.size != "small" && options.size != "large" && options.size != "server" &&
                options.size != "terminal-server") {
                fprintf(stderr, "ntsim create: --size is small, large, server or terminal-server\n");
                return 2;
            }
        } else if (a == "--files" || a == "--profiles") {
            std::string text;
            if (!value(&text)) return 2;
            if (!Count(text, a == "--files" ? &options.fileCount : &options.profileCount)) {
                fprintf(stderr, "ntsim create: %s takes a count\n", a.c_str());
                return 2;
            }
        } else if (a == "--from-image") {
            if (!value(&image)) return 2;
        } else if (a == "--copy") {
            copy = true;
        } else if (a == "--no-files") {
            options.files = false;
        } else if (!a.empty() && a[0] == '-') {
            fprintf(stderr, "ntsim create: unknown option %s\n", a.c_str());
            return 2;
        } else if (dir.empty()) {
            dir = a;
        } else {
            fprintf(stderr, "ntsim create: one directory only\n");
            return 2;
        }
    }
    if (dir.empty()) {
        fprintf(stderr, "usage: ntsim create DIR [--preset P] [--sid S-1-5-21-a-b-c] [--name NAME] [--size small|large|server|terminal-server] [--files N] [--profiles N] [--no-files]\n"
                        "       ntsim create DIR --from-image ROOT [--copy]\n");
        return 2;
    }
    if (!presetGiven && !ntsim::ServerDefaultPreset(options.size).empty()) options.preset = ntsim::ServerDefaultPreset(options.size);
    std::string error;
    if (!image.empty()) {
        if (!ntsim::MachineCreateFromImage(dir, image, copy, &error)) {
            fprintf(stderr, "ntsim create: %s\n", error.c_str());
            return 1;
        }
        printf("created a machine in %s for the image %s%s\n", dir.c_str(), image.c_str(), copy ? " (on a copy)" : " (in place)");
        return 0;
    }
    if (copy) {
        fprintf(stderr, "ntsim create: --copy goes with --from-image\n");
        return 2;
    }
    if (!ntsim::MachineCreate(dir, options, &error)) {
        fprintf(stderr, "ntsim create: %s\n", error.c_str());
        return 1;
    }
    printf("created %s machine in %s\n", options.preset.c_str(), dir.c_str());
    return 0;
}

NTSIM_COMMAND(g_create, "create", "create DIR [--preset P] [--sid S-1-5-21-a-b-c] [--name NAME] [--size small|large|server|terminal-server] [--files N] [--profiles N] [--no-files] | --from-image ROOT [--copy]", Create);
