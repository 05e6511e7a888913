"""Whether a case's ways agree: the GLSL and SPIR-V builds, linked and separable, held against
each other.

The reference is the first way that built, that is drew a picture: mode 1 where it did, else
mode 3, else mode 2, else mode 4 (where none drew, the first that ran). The case agrees when
every way that ran has the reference's status, picture hash and GL messages; otherwise it
differs, row by row, naming the modes unlike the reference. A mode that
did not run (a skip, input it could not use) takes no part.
"""
from .. import modes

ROWS = ("status", "picture", "messages")
MENU_ORDER = tuple(m.id for m in modes.MODES)
REFERENCE_ORDER = ("glsl", "spirv", "glsl-sso", "spirv-sso")


def reference(ran):
    """The mode id the others are held against: the first way that built (drew a picture), else
    the first that ran; None when no way ran."""
    built = [m for m in REFERENCE_ORDER if m in ran and ran[m]["picture"] is not None]
    return next(iter(built or [m for m in REFERENCE_ORDER if m in ran]), None)


def agreement(ran):
    """ran: {mode id: {"status", "picture", "messages"}} of the ways that ran. The case's verdict
    ("agrees", "differs", or "not-run" when no way ran), its reference, and the rows that differ:
    [{"row", "modes"}], the modes in menu order."""
    ref = reference(ran)
    if ref is None:
        return {"verdict": "not-run", "reference": None, "differs": []}
    rows = []
    for row in ROWS:
        unlike = [m for m in MENU_ORDER if m in ran and m != ref and ran[m][row] != ran[ref][row]]
        if unlike:
            rows.append({"row": row, "modes": unlike})
    return {"verdict": "differs" if rows else "agrees", "reference": ref, "differs": rows}
