"""What one check of `doctor` found: passed or failed, in one line, with the command that fixes a failure."""

from __future__ import annotations

from dataclasses import dataclass, field

type Detail = str | int | bool | list[str] | list[dict[str, object]] | None
type Details = dict[str, Detail]


@dataclass(frozen=True)
class Check:
    """One check's outcome.

    `check` names the kind of check (several trust checks share one: `details` says which store); `summary` is
    what was found, in words; `fix` the exact command that fixes a failure, None when passed or when no command
    can (a store's tool that failed for its own reasons); `details` the same facts as values, for --json.
    """

    check: str
    passed: bool
    summary: str
    fix: str | None = None
    details: Details = field(default_factory=dict)

    def line(self) -> str:
        if self.passed:
            return f"ok    {self.summary}"
        return f"FAIL  {self.summary}" + (f"; fix: {self.fix}" if self.fix else "")

    def as_json(self) -> dict[str, object]:
        return {
            "check": self.check,
            "status": "pass" if self.passed else "fail",
            "summary": self.summary,
            "fix": self.fix,
            "details": self.details,
        }


def passed(check: str, summary: str, **details: Detail) -> Check:
    return Check(check, True, summary, None, details)


def failed(check: str, summary: str, fix: str | None, **details: Detail) -> Check:
    return Check(check, False, summary, fix, details)
