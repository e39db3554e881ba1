import pytest


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    """Keeps each phase's report on the test, so that a fixture can tell at teardown whether
    the test failed."""
    report = yield
    setattr(item, f"report_{report.when}", report)
    return report
