// The module's usage text and the methods' docstrings, word for word as users see them in
// help(). Each method docstring ends with a line of eight blanks.
#pragma once

namespace kq5316::binding::docstrings {

inline constexpr const char *usage = "\n"
                                     "Basic Usage:\n"
                                     "from kq5316 import KQ5316\n"
                                     "\n"
                                     "kq = KQ5316(\"/dev/cu.PL2303G-USBtoUART2110\")\n"
                                     "if kq.open():\n"
                                     "    dev_ver = kq.read_device_version()\n"
                                     "    print(dev_ver)\n"
                                     "\n"
                                     "    # set chnnel 1 to 1.1db\n"
                                     "    kq.set_attenuation(1100, 1)\n";

inline constexpr const char *init = "initialize serial port\n"
                                    "        :param serial_port:\n"
                                    "        For Windows, 'COM3', 'COM4' ...\n"
                                    "        For Linux/MacOS, '/dev/ttyUSB0', '/dev/ttyUSB1'...\n"
                                    "        ";

inline constexpr const char *check_crc =
    "\n"
    "        Verify the CRC of the received message.\n"
    "\n"
    "        :param data: List of bytes representing the message received \n"
    "                     from the device.\n"
    "        :return: True if the CRC is valid, False otherwise.\n"
    "        ";

inline constexpr const char *cal_crc =
    "\n"
    "        Calculate the CRC of the send command.\n"
    "\n"
    "        :param data: List of bytes representing the message to be sended.\n"
    "        ";

inline constexpr const char *read = "\n"
                                    "        Read serial data\n"
                                    "        ";

inline constexpr const char *write_and_read =
    "\n"
    "        send command and read response data\n"
    "        :param cmd: the command send to serial port\n"
    "        ";

inline constexpr const char *read_device_version =
    " Read device version\n"
    "        device version: module, hardware, software\n"
    "        :return dict:\n"
    "        {\n"
    "            'module_version': 2,\n"
    "            'hard_version': 50,\n"
    "            'soft_version': 32,\n"
    "        }\n"
    "        ";

inline constexpr const char *read_optical_length =
    " Read supported optical length of the channel\n"
    "        :param ch: the channel to query, default 1\n"
    "        :return list:\n"
    "        [1310, 1490, 1535, ...]\n"
    "        ";

inline constexpr const char *set_optical_length =
    "Set optical length of the channel\n"
    "        :param ch:the channel to query, default 1\n"
    "        :return bool:True if success, else False\n"
    "        ";

inline constexpr const char *read_current_status =
    "Read current status of the channel\n"
    "        :param ch:the channel to query, default 1\n"
    "        :return dict:\n"
    "        {\n"
    "            # For KQ5316, dev_work_mode always 0\n"
    "            'dev_work_mode': 0,\n"
    "\n"
    "            # 1 means the index 1 in surpported lengths\n"
    "            'optical_lenght_index': 1,\n"
    "\n"
    "            # The KQ5316 device precision is 0.01db\n"
    "            # attenuation value unit is mdb, 1 db = 1000 mdb\n"
    "            'attenuation': 0,\n"
    "        }\n"
    "        ";

inline constexpr const char *close_full_screen =
    "Close Full Screen\n"
    "        :return bool: True if success, else False\n"
    "        ";

inline constexpr const char *set_attenuation =
    " Set the attenuation of the channel\n"
    "        The KQ5316 device precision is 0.01db\n"
    "        :param attenuation: unit is mdb, 1 db = 1000 mdb\n"
    "        :param ch: the channel to query, default 1\n"
    "        :return bool: True if success, else False\n"
    "        ";

// Repeats the opening of the set-attenuation text, parameter line included, as users know it.
inline constexpr const char *clear_attenuation =
    " Set the attenuation of the channel\n"
    "        The KQ5316 device precision is 0.01db\n"
    "        :param attenuation: unit is mdb, 1 db = 1000 mdb\n"
    "        :param ch:the channel to set, default 1\n"
    "        ";

inline constexpr const char *dis_connection = " Disconnect the connection of the channel\n"
                                              "        :param ch:the channel to set, default 1\n"
                                              "        :return bool: True if success, else False\n"
                                              "        ";

inline constexpr const char *check_port_available =
    " Check whether the port is available\n"
    "        :return bool: True if available, else False\n"
    "        ";

inline constexpr const char *open = " open the serial port\n"
                                    "        :return bool: True if open sucess, else False\n"
                                    "        ";

} // namespace kq5316::binding::docstrings
