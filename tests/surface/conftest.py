def pytest_configure(config):
    config.addinivalue_line("markers", "slow: builds and installs the wheel; deselect with -m 'not slow'")
