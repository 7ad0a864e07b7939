<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_TW">
<context>
    <name>CAboutDlg</name>
    <message>
        <location filename="../aboutdlg.cpp" line="+30"/>
        <source>About Morvane</source>
        <translation>About Morvane</translation>
    </message>
    <message>
        <location line="+15"/>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>CMainFrame</name>
    <message>
        <location filename="../mainfrm.cpp" line="+135"/>
        <source>檔案(F)</source>
        <translation>&amp;File</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>選項(O)</source>
        <translation>&amp;Options</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>串列埠設定</source>
        <translation>&amp;Serial port settings</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>開啟 串列埠</source>
        <translation>&amp;Open serial port</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>關閉 串列埠</source>
        <translation>&amp;Close serial port</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>讀取 QM-TRV (DDS) 狀態</source>
        <translation>&amp;Read QM-TRV (DDS) status</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>儲存通道設定…</source>
        <translation>Sa&amp;ve channel setup…</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>載入通道設定…</source>
        <translation>&amp;Load channel setup…</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>通訊記錄…</source>
        <translation>&amp;Transcript…</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>說明(H)</source>
        <translation>&amp;Help</translation>
    </message>
</context>
<context>
    <name>CMorvaneDlg</name>
    <message>
        <location filename="../morvanedlg.cpp" line="+34"/>
        <source>QM-TRV 可程控精準數位合成模組</source>
        <translation>QM-TRV programmable precision digital synthesis module</translation>
    </message>
    <message>
        <location line="+5"/>
        <source> 狀態 : 等待 QM-TRV 回應中…  [Esc] 取消</source>
        <translation> Status : Waiting for the QM-TRV to answer…  [Esc] Cancel</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>開啟</source>
        <translation>On</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>關閉</source>
        <translation>Off</translation>
    </message>
    <message>
        <location line="+29"/>
        <source>頻率</source>
        <translation>Freq</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>振幅</source>
        <translation>Amp</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>相位</source>
        <translation>Ph</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>度</source>
        <translation>°</translation>
    </message>
    <message>
        <location line="+143"/>
        <source>單個通道設定</source>
        <translation>Single</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>多個通道設定</source>
        <translation>Multiple</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>更新</source>
        <translation>Update</translation>
    </message>
    <message>
        <location filename="../morvanedlg_channels.cpp" line="+25"/>
        <source>儲存通道設定</source>
        <translation>Save channel setup</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>載入通道設定</source>
        <translation>Load channel setup</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>通道設定檔 (*.ini);;所有檔案 (*)</source>
        <translation>Channel setup files (*.ini);;All files (*)</translation>
    </message>
    <message>
        <location line="+1"/>
        <location filename="../morvanedlg_send.cpp" line="+25"/>
        <source>設定異常</source>
        <translation>Set failed</translation>
    </message>
    <message>
        <location line="+21"/>
        <source>無法讀取這個檔案 (不存在、不是一般檔案或沒有讀取權限)。</source>
        <translation>This file cannot be read (it does not exist, is not a regular file or may not be read).</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>這不是通道設定檔: 沒有 [CH1] 到 [CH8] 或 [MODE] 段落。</source>
        <translation>This is not a channel setup file: it has none of the sections [CH1] to [CH8] or [MODE].</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>%1 : 只能是 0 或 1。</source>
        <translation>%1 : must be 0 or 1.</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>無法寫入檔案: %1</source>
        <translation>Cannot write the file: %1</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>通訊記錄</source>
        <translation>Transcript</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>無法寫入通訊記錄檔 %1
%2</source>
        <translation>Cannot write the transcript file %1
%2</translation>
    </message>
    <message>
        <location line="+126"/>
        <source>通道 %1 設定參數工作異常 !</source>
        <translation>Setting the parameters of channel %1 failed !</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>頻率</source>
        <comment>accessible name</comment>
        <translation>frequency</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>振幅</source>
        <comment>accessible name</comment>
        <translation>amplitude</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>相位</source>
        <comment>accessible name</comment>
        <translation>phase</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>輸出 開</source>
        <translation>output on</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>輸出 關</source>
        <translation>output off</translation>
    </message>
    <message>
        <location filename="../morvanedlg_port.cpp" line="+26"/>
        <source> 狀態 : [RS232] 串列埠[ %d ] 已開啟</source>
        <translation> Status : [RS232] Port[ %d ] opened</translation>
    </message>
    <message>
        <location line="+2"/>
        <source> 狀態 : 無法開啟 [RS232] 串列埠[ %d ]</source>
        <translation> Status : Cannot open [RS232] Port[ %d ]</translation>
    </message>
    <message>
        <location line="+2"/>
        <source> 狀態 : [RS232] 串列埠[ %d ] 已關閉</source>
        <translation> Status : [RS232] Port[ %d ] closed</translation>
    </message>
    <message>
        <location line="+2"/>
        <source> 狀態 : [RS232] 串列埠[ %d ] 已中斷</source>
        <translation> Status : [RS232] Port[ %d ] disconnected</translation>
    </message>
    <message>
        <location line="+3"/>
        <source> 狀態 : [RS232] 串列埠[ %d ] 已開啟 (未重設模組，通道狀態未知)</source>
        <translation> Status : [RS232] Port[ %d ] opened (module not reset, channels unknown)</translation>
    </message>
    <message>
        <location line="+3"/>
        <source> 狀態 : [RS232] 串列埠[ %d ] 已中斷，等待裝置重新連接</source>
        <translation> Status : [RS232] Port[ %d ] disconnected, waiting for the device to return</translation>
    </message>
    <message>
        <location line="+2"/>
        <source> 狀態 : [RS232] 串列埠[ %d ] 已重新開啟 (模組已重設)</source>
        <translation> Status : [RS232] Port[ %d ] reopened (module reset)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source> 狀態 : [RS232] 串列埠[ %d ] 已重新開啟 (未重設模組，通道狀態未知)</source>
        <translation> Status : [RS232] Port[ %d ] reopened (module not reset, channels unknown)</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>無法開啟 setup.ini 預設值設定檔 !     </source>
        <translation>Cannot open the defaults file setup.ini !     </translation>
    </message>
    <message>
        <location line="+2"/>
        <source>確認串列埠設定</source>
        <translation>Check the serial port settings</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>無法開啟 [RS232] 串列埠[ %d ] !

請重新確認電腦端 [RS232] 串列埠設定.
--------------------------------------------------------------------------
[故障排除]
(1) 確認電腦系統上，欲使用的串列埠的驅動程式是否已備便就緒.
(2) 確認軟體設定 [setup.ini] 的[COM_PORT] 參數值是否正確.
(3) 確認 QM-TRV 端上的串列埠傳輸線是否有連接至電腦的串列埠上.
                   </source>
        <translation>Cannot open [RS232] Port[ %d ] !

Please check the [RS232] serial port settings of the computer.
--------------------------------------------------------------------------
[Troubleshooting]
(1) Check that the driver of the serial port to be used is installed and ready on the computer.
(2) Check that the [COM_PORT] values in the settings file [setup.ini] are right.
(3) Check that the serial cable of the QM-TRV is connected to the computer&apos;s serial port.
                   </translation>
    </message>
    <message>
        <location filename="../morvanedlg_send.cpp" line="+2"/>
        <source>通道 [CH%d] 設定參數工作異常 !            </source>
        <translation>Setting the parameters of channel [CH%d] failed !            </translation>
    </message>
    <message>
        <location line="+3"/>
        <source>設定異常 : CH[%d] </source>
        <translation>Set failed : CH[%d] </translation>
    </message>
    <message>
        <location line="+2"/>
        <source>頻率超出範圍 (須小於 %s MHz)</source>
        <translation>frequency out of range (must be below %s MHz)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>振幅超出範圍 (0 - 100 %)</source>
        <translation>amplitude out of range (0 - 100 %)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>相位不是數字</source>
        <translation>phase is not a number</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>尚未取得 DDS 時脈</source>
        <translation>no DDS clock yet</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>模組無回應</source>
        <translation>no answer from the module</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>模組回應異常</source>
        <translation>wrong answer from the module</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>單個通道設定 : CH[%d] Freq=[%.4f]MHz  Phase=[%.1f]°  Amp=[%.3f]
</source>
        <translation>Single channel : CH[%d] Freq=[%.4f]MHz  Phase=[%.1f]°  Amp=[%.3f]
</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>多個通道設定 : CH[%d] Freq=[%.4f]MHz  Phase=[%.1f]°  Amp=[%.3f]
</source>
        <translation>Multiple channels : CH[%d] Freq=[%.4f]MHz  Phase=[%.1f]°  Amp=[%.3f]
</translation>
    </message>
</context>
<context>
    <name>CRemoteServer</name>
    <message>
        <location filename="../main.cpp" line="+70"/>
        <source>遠端控制 (SCPI)</source>
        <translation>Remote control (SCPI)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>無法提供遠端控制：</source>
        <translation>Remote control cannot be offered:</translation>
    </message>
</context>
<context>
    <name>CShowMsgDlg</name>
    <message>
        <location filename="../showmsgdlg.cpp" line="+41"/>
        <source>通道</source>
        <translation>Channel</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>頻率 MHz</source>
        <translation>Freq MHz</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>振幅 %</source>
        <translation>Amp %</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>相位 °</source>
        <translation>Phase °</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>狀態</source>
        <translation>State</translation>
    </message>
    <message>
        <location line="+46"/>
        <source>讀取 QM-TRV 通道狀態</source>
        <translation>QM-TRV channel status</translation>
    </message>
    <message>
        <location line="+113"/>
        <source>未知</source>
        <translation>unknown</translation>
    </message>
</context>
<context>
    <name>CTranscriptWnd</name>
    <message>
        <location filename="../transcriptwnd.cpp" line="+26"/>
        <source>通訊記錄</source>
        <translation>Transcript</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>儲存…</source>
        <translation>Save…</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>文字檔 (*.txt *.log);;所有檔案 (*)</source>
        <translation>Text files (*.txt *.log);;All files (*)</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>時間</source>
        <translation>Time</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>命令</source>
        <translation>Command</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>回應</source>
        <translation>Reply</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>欄位數</source>
        <translation>Fields</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>來回 (ms)</source>
        <translation>Round trip (ms)</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>結果</source>
        <translation>Outcome</translation>
    </message>
    <message>
        <location line="+302"/>
        <source>無法儲存 %1
%2</source>
        <translation>Cannot save %1
%2</translation>
    </message>
</context>
</TS>
