"""Figures that tests hand to the end of the run (case counts, memory growth), shown in a
"figures" section of the report."""


def pytest_configure(config):
    config.ornik_figures = []


def pytest_terminal_summary(terminalreporter, config):
    if config.ornik_figures:
        terminalreporter.section("figures")
        for line in config.ornik_figures:
            terminalreporter.write_line(line)
