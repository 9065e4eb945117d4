// tarn-imgbuild: makes key device images and matrix files for tests and the
// demo. Test support only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "common/machine_id.h"
#include "tools/imgbuild/imgbuild.h"

namespace {

const char* const USAGE =
    "usage:\n"
    "  tarn-imgbuild blank --out IMAGE\n"
    "  tarn-imgbuild issuer --out IMAGE --pks-dir DIR [--curve 0..5] [--matrix-id ID]\n"
    "                [--row R] [--col C] [--no-transport]\n"
    "  tarn-imgbuild soft-matrix --pks-dir DIR [--curve 0..5] [--matrix-id ID] [--row R] [--col C]\n"
    "  tarn-imgbuild host --out IMAGE (--identity-file FILE | --identity-hex HEX)\n"
    "                [--route plain|transport|soft] [--slot K] [--years Y]\n"
    "                plain, transport: --issuer IMAGE (transport also --pks-dir DIR)\n"
    "                soft: --secret FILE, or --pks-dir DIR to make a soft curve-5 matrix\n"
    "                      named by --matrix-id (default TARNSOFT)\n"
    "  tarn-imgbuild wrong-pin --image IMAGE [--pin PIN]   (changes the user PIN)\n"
    "  tarn-imgbuild block --image IMAGE   (marks the card blocked)\n"
    "  tarn-imgbuild not-image --out FILE\n"
    "Defaults: curve 5, matrix id TARNTEST, row 32, col 8, route plain, slot 1, years 10.\n";

int usage(const std::string& why)
{
    fprintf(stderr, "tarn-imgbuild: %s\n%s", why.c_str(), USAGE);
    return 2;
}

int failed(const std::string& what, const std::string& err)
{
    fprintf(stderr, "tarn-imgbuild: %s: %s\n", what.c_str(), err.c_str());
    return 1;
}

bool to_unsigned(const std::string& s, unsigned* out)
{
    if (s.empty() || s.size() > 9) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    *out = static_cast<unsigned>(std::stoul(s));
    return true;
}

bool from_hex(const std::string& s, imgbuild::Bytes* out)
{
    if (s.empty() || s.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        int v = 0;
        for (size_t j = i; j < i + 2; ++j) {
            char c = s[j];
            int d = c >= '0' && c <= '9' ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return usage("no command given");
    const std::string cmd = argv[1];
    if (cmd == "-h" || cmd == "--help") {
        fputs(USAGE, stdout);
        return 0;
    }
    static const char* const flags[] = {"--no-transport"};
    std::map<std::string, std::string> opt;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) != 0) return usage("unexpected argument " + a);
        bool isFlag = false;
        for (const char* f : flags) isFlag = isFlag || a == f;
        if (isFlag) {
            opt[a] = "1";
            continue;
        }
        if (i + 1 >= argc) return usage("option " + a + " needs a value");
        opt[a] = argv[++i];
    }
    auto take = [&](const char* name, const std::string& def = std::string()) {
        auto it = opt.find(name);
        if (it == opt.end()) return def;
        std::string v = it->second;
        opt.erase(it);
        return v;
    };
    auto number = [&](const char* name, unsigned def, unsigned* out) {
        std::string v = take(name);
        if (v.empty()) {
            *out = def;
            return true;
        }
        return to_unsigned(v, out);
    };
    auto leftover = [&]() -> std::string { return opt.empty() ? "" : opt.begin()->first; };

    std::string err;
    if (cmd == "blank" || cmd == "not-image") {
        std::string out = take("--out");
        if (out.empty()) return usage("--out is required");
        if (!leftover().empty()) return usage("unknown option " + leftover());
        int st = cmd == "blank" ? imgbuild::make_blank(out, &err) : imgbuild::make_not_image(out, &err);
        if (st != 0) return failed(cmd, err);
        printf("image: %s\n", out.c_str());
        return 0;
    }
    if (cmd == "issuer" || cmd == "soft-matrix") {
        imgbuild::IssuerSpec spec;
        std::string out = take("--out");
        std::string dir = take("--pks-dir");
        spec.matrixId = take("--matrix-id", spec.matrixId);
        spec.transport = take("--no-transport").empty();
        if (!number("--curve", 5, &spec.curve) || !number("--row", imgbuild::DEFAULT_ROW, &spec.row) ||
            !number("--col", imgbuild::DEFAULT_COL, &spec.col))
            return usage("--curve, --row and --col take decimal numbers");
        if (dir.empty()) return usage("--pks-dir is required");
        if (cmd == "issuer" && out.empty()) return usage("--out is required");
        if (!leftover().empty()) return usage("unknown option " + leftover());
        if (cmd == "soft-matrix") {
            std::string pub, sec;
            if (imgbuild::make_soft_matrix(spec.curve, spec.matrixId, spec.row, spec.col, dir, &pub,
                                           &sec, &err) != 0)
                return failed(cmd, err);
            printf("matrix-id: %s\npks: %s\nsecret: %s\n", spec.matrixId.c_str(), pub.c_str(),
                   sec.c_str());
            return 0;
        }
        imgbuild::IssuerInfo info;
        if (imgbuild::make_issuer(spec, out, dir, &info, &err) != 0) return failed(cmd, err);
        printf("image: %s\nmatrix-id: %s\ncurve: %u\nrow: %u\ncol: %u\npks: %s\n", out.c_str(),
               info.matrixId.c_str(), info.curve, info.row, info.col, info.pksPath.c_str());
        if (!info.transportPks.empty())
            printf("transport-id: %s\ntransport-slot: %u\ntransport-pks: %s\n",
                   imgbuild::ISSUER_TRANSPORT_ID, imgbuild::ISSUER_TRANSPORT_SLOT,
                   info.transportPks.c_str());
        return 0;
    }
    if (cmd == "host") {
        imgbuild::HostSpec spec;
        std::string out = take("--out");
        std::string idFile = take("--identity-file");
        std::string idHex = take("--identity-hex");
        std::string route = take("--route", "plain");
        std::string matrixId = take("--matrix-id", "TARNSOFT");
        spec.issuerImage = take("--issuer");
        spec.pksDir = take("--pks-dir");
        spec.secretMatrix = take("--secret");
        if (!number("--slot", 1, &spec.slot) || !number("--years", imgbuild::DEFAULT_YEARS, &spec.years))
            return usage("--slot and --years take decimal numbers");
        if (out.empty()) return usage("--out is required");
        if (idFile.empty() == idHex.empty())
            return usage("give exactly one of --identity-file and --identity-hex");
        if (!leftover().empty()) return usage("unknown option " + leftover());
        if (!idFile.empty()) {
            if (imgbuild::read_identity_file(idFile, &spec.identity, &err) != 0)
                return failed(cmd, err);
        } else if (!from_hex(idHex, &spec.identity)) {
            return usage("--identity-hex needs an even number of hex digits");
        }
        if (route == "plain") {
            spec.route = imgbuild::Route::Plain;
        } else if (route == "transport") {
            spec.route = imgbuild::Route::Transport;
            if (spec.pksDir.empty()) return usage("the transport route needs --pks-dir");
        } else if (route == "soft") {
            spec.route = imgbuild::Route::Soft;
        } else {
            return usage("--route is plain, transport or soft");
        }
        if (spec.route != imgbuild::Route::Soft && spec.issuerImage.empty())
            return usage("--issuer is required for the " + route + " route");
        if (spec.route == imgbuild::Route::Soft && spec.secretMatrix.empty()) {
            if (spec.pksDir.empty()) return usage("the soft route needs --secret or --pks-dir");
            std::string pub;
            if (imgbuild::make_soft_matrix(5, matrixId, imgbuild::DEFAULT_ROW, imgbuild::DEFAULT_COL,
                                           spec.pksDir, &pub, &spec.secretMatrix, &err) != 0)
                return failed(cmd, err);
            printf("matrix-id: %s\npks: %s\nsecret: %s\n", matrixId.c_str(), pub.c_str(),
                   spec.secretMatrix.c_str());
        }
        if (imgbuild::make_host(spec, out, &err) != 0) return failed(cmd, err);
        printf("image: %s\nidentity: %s\nslot: %u\nroute: %s\n", out.c_str(),
               getHex(spec.identity.data(), static_cast<int>(spec.identity.size())).c_str(),
               spec.slot, route.c_str());
        return 0;
    }
    if (cmd == "wrong-pin") {
        std::string image = take("--image");
        std::string pin = take("--pin", "11223344");
        if (image.empty()) return usage("--image is required");
        if (!leftover().empty()) return usage("unknown option " + leftover());
        if (imgbuild::set_user_pin(image, pin, &err) != 0) return failed(cmd, err);
        printf("image: %s\nuser-pin: %s\n", image.c_str(), pin.c_str());
        return 0;
    }
    if (cmd == "block") {
        std::string image = take("--image");
        if (image.empty()) return usage("--image is required");
        if (!leftover().empty()) return usage("unknown option " + leftover());
        if (imgbuild::set_blocked(image, &err) != 0) return failed(cmd, err);
        printf("image: %s\nblocked\n", image.c_str());
        return 0;
    }
    return usage("unknown command " + cmd);
}
