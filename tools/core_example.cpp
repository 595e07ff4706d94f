// Writes one spell with a damage detail to a gzip file, reads it back and prints it:
// a native walk of the action file convention (header, then numDetails detail records).
#include <cstdio>
#include <cstring>

#include "core/record_stream.h"
#include "core/records.h"
#include "core/text.h"

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "example_actions.gz";

    qn4tGeneric_Action_Header spell;
    spell.actionID = 101;
    spell.actionType = qn4tGeneric_Action_Header::kSpellType;
    spell.numDetails = 1;
    const char name[] = "Fireball";
    qn4t::replace_text(spell.name, name, std::strlen(name));
    spell.nameLen = std::strlen(name);
    std::memcpy(spell.spellCode, "FIRE", 4);
    spell.spellCost = 12;
    qn4tGeneric_Action_Detail_Header detail;
    detail.type = 1;
    detail.length = 24;
    qn4tGeneric_Damage_Details damage;
    damage.die = 6;
    damage.dice = 3;
    damage.toHitBonus = -2;

    gzFile out = qn4tGenericOpen(path, 1);
    spell.write(out);
    detail.write(out);
    damage.write(out);
    qn4tGenericClose(out);

    gzFile in = qn4tGenericOpen(path, 0);
    qn4tGeneric_Action_Header action;
    qn4tGeneric_Action_Detail_Header head;
    qn4tGeneric_Damage_Details body;
    int status = action.read(in);
    for (int i = 0; status == 0 && i < action.numDetails; ++i) status = head.read(in) | body.read(in);
    qn4tGenericClose(in);
    if (status != 0) {
        std::fprintf(stderr, "%s: could not read the action back\n", path);
        return 1;
    }
    std::printf("action %u \"%s\" type %u spell code %s cost %u, %u detail(s)\n", action.actionID,
                action.name, action.actionType, action.spellCode, action.spellCost,
                action.numDetails);
    std::printf("  detail type %u length %u: %dd%d, to hit %d\n", head.type, head.length, body.dice,
                body.die, body.toHitBonus);
    return 0;
}
