"""One printed line per check and a count of failures, for the checks of the built library."""


class CheckReport:
    def __init__(self):
        self.failures = 0

    def Check(self, passed, what, detail=""):
        """Prints "ok   what" or "FAIL what: detail" and returns passed."""
        if passed:
            print(f"ok   {what}")
        else:
            self.failures += 1
            print(f"FAIL {what}" + (f": {detail}" if detail else ""))
        return passed

    def ExitCode(self):
        print(f"{self.failures} check(s) failed" if self.failures else "all checks passed")
        return 1 if self.failures else 0
