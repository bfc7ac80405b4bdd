"""Validation of aerlox against measured rotors (`make validate`).

One module per case: `caradonna_tung` (hover thrust and sectional lift),
`apc` (two propellers, static and advancing), `elliott` (trimmed forward-flight
inflow). Each builds its rotor through the toolkit and returns a `CaseResult`;
`validation.report` writes `report.md` and prints the summary.
"""
